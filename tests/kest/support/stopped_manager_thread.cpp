#include "stopped_manager_thread.h"

#include <windows.h>

#include "manager/device_manager.h"
#include "wait_until.h"

namespace kest_test {

bool stopManagerThread(kest::DeviceManager& manager) {
    manager.managerRunning.store(0, std::memory_order_release);
    EventModify(manager.wakeEvent, EVENT_SET);
    return WaitForSingleObject(manager.managerThread, static_cast<DWORD>(kPatience.count())) ==
           WAIT_OBJECT_0;
}

}  // namespace kest_test

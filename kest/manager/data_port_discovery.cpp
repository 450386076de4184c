// Discovery of the COM port under which the powered peripheral shows up.
//
// Not built yet: the step fails (step result 2), so the data channel is never opened.
#include "manager/device_manager.h"

namespace kest {

int DeviceManager::DiscoverDataPort() {
    return kStepFailed;
}

}  // namespace kest

// Reading the system power and cradle notifications from the power queue.
//
// Not built yet: the step fails (step result 2) and leaves the queue unread.
#include "manager/device_manager.h"

namespace kest {

int DeviceManager::handlePowerNotifications() {
    return kStepFailed;
}

}  // namespace kest

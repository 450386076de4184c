// Switching the peripheral on and off through the power port.
//
// Not built yet: until the power port exists, both steps fail (step result 2), so a pass never
// takes the peripheral out of its current state.
#include "manager/device_manager.h"

namespace kest {

int DeviceManager::powerOn() {
    return kStepFailed;
}

int DeviceManager::powerOff() {
    return kStepFailed;
}

}  // namespace kest

// The version step: VersionRequest and the wait for the VersionResponse.
//
// Not built yet: the step fails (step result 2) without sending anything.
#include "manager/device_manager.h"

namespace kest {

int DeviceManager::versionStep() {
    return kStepFailed;
}

}  // namespace kest

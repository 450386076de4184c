// The download step: FileDownloadRequest and the wait for the end of the transfer.
//
// Not built yet: the step fails (step result 2) without sending anything.
#include "manager/device_manager.h"

namespace kest {

int DeviceManager::downloadStep() {
    return kStepFailed;
}

}  // namespace kest

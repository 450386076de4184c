// The download step: one FileDownloadRequest per download, then a wait over the following
// passes until the monitor thread ends the transfer (file_download.cpp). There is no resend and
// no time-out here: the application's own wait bounds it.
#include <kest.h>


#include "manager/device_manager.h"

namespace kest {

int DeviceManager::downloadStep() {
    if (downloadDone.load(std::memory_order_acquire) != 0) return kStepDone;
    switch (currentState.load()) {
        case KEST_STATE_READY:
            clearTransfer();
            sendFileDownloadRequest();
            setState(KEST_STATE_DOWNLOADING);
            return kStepInProgress;
        case KEST_STATE_VERSION_PENDING:
            return kStepInProgress;
        case KEST_STATE_DOWNLOADING:
            // Tells the state observers once more that the download runs.
            setState(KEST_STATE_DOWNLOADING);
            return kStepInProgress;
        default:
            return kStepFailed;
    }
}

// Before the request goes out: from here on an announcement answers it. One the monitor thread
// is still ending for an earlier transfer counts no more.
void DeviceManager::clearTransfer() {
    Guard record(transferLock);
    ++transferGeneration;
    downloadAsked = true;
    transferOpen.store(0, std::memory_order_release);
    downloadDone.store(0, std::memory_order_release);
    fileSize = 0;
    bytesReceived = 0;
    downloadPath[0] = '\0';
    writeIndex = 0;
    blockSequence = 0;
    expectedChecksum = 0;
    runningChecksum = 0;
    downloadBuffer.reset();  // left behind by a failed transfer
}

void DeviceManager::abandonTransfer() {
    Guard record(transferLock);
    ++transferGeneration;
    downloadAsked = false;
    transferOpen.store(0, std::memory_order_release);
    downloadBuffer.reset();
}

void DeviceManager::forgetDownload() {
    abandonTransfer();
    Guard record(transferLock);
    downloadDone.store(0, std::memory_order_release);
}

}  // namespace kest

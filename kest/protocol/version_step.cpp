// The version step: one VersionRequest per attempt, then a wait over the following passes for
// the VersionResponse that the monitor thread stores (message_handler.cpp). There is no resend:
// the application's own wait bounds how long the version is awaited.
#include <kest.h>

#include <cstring>

#include "manager/device_manager.h"

namespace kest {

int DeviceManager::versionStep() {
    if (versionReceived.load(std::memory_order_acquire) != 0) {
        if (currentState == KEST_STATE_VERSION_PENDING) setState(KEST_STATE_READY);
        return kStepDone;
    }
    switch (currentState.load()) {
        case KEST_STATE_READY:
            // Cleared before the request goes out. The peripheral may still send a version
            // unasked at any time; whichever arrives after the clear is the one kept.
            clearVersion();
            sendVersionRequest();
            setState(KEST_STATE_VERSION_PENDING);
            return kStepInProgress;
        case KEST_STATE_VERSION_PENDING:
        case KEST_STATE_DOWNLOADING:
            return kStepInProgress;
        default:
            return kStepFailed;
    }
}

void DeviceManager::clearVersion() {
    Guard record(versionLock);
    versionReceived.store(0, std::memory_order_release);
    versionMajor = 0;
    versionMinor = 0;
    serialNumber = 0;
    std::memset(versionText, 0, sizeof versionText);
}

bool DeviceManager::readVersion(int* major, int* minor, char* text) {
    Guard record(versionLock);
    if (versionReceived.load(std::memory_order_acquire) == 0) return false;
    if (major != nullptr) *major = versionMajor;
    if (minor != nullptr) *minor = static_cast<int>(versionMinor);
    // At most 12 characters and the NUL: the caller's buffer holds 13 bytes.
    if (text != nullptr) {
        std::strncpy(text, versionText, sizeof versionText - 1);
        text[sizeof versionText - 1] = '\0';
    }
    return true;
}

}  // namespace kest

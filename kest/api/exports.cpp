// The twenty exports. None of them talks to the peripheral: a request records what is wanted
// and hands it to the manager thread through submitRequest.
#include <kest.h>


#include "manager/application_bridge.h"
#include "manager/device_manager.h"
#include "manager/library_entry.h"

using kest::DeviceManager;

namespace {

// The common frame of the requests: `prepare` writes the settings and submits the request.
// Every exception becomes KEST_NO_DEVICE and the given status text.
template <class Prepare>
int request(const char* exceptionText, Prepare prepare) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    if (m == nullptr) return KEST_NO_DEVICE;
    try {
        return prepare(*m);
    } catch (...) {
        m->reportStatus(exceptionText);
        return KEST_NO_DEVICE;
    }
}

std::int32_t defaultWait(const DeviceManager& m) {
    return kest::timeoutMilliseconds(m.timeoutSeconds);
}

// The state a KEST_Enable type asks for.
DWORD enabledStateFor(int type) {
    switch (type) {
        case 1:
            return KEST_STATE_ENABLED_1;
        case 2:
            return KEST_STATE_ENABLED_2;
        case 3:
            return KEST_STATE_ENABLED_3;
        default:
            return KEST_STATE_READY;
    }
}

}  // namespace

extern "C" {

int WINAPI KEST_AddStateChangeHandler(KEST_StateChangeHandler handler) {
    if (const kest::ExportCall call; call.manager() == nullptr) return KEST_NO_DEVICE;
    kest::applicationStateHandler.store(handler);
    return KEST_OK;
}

int WINAPI KEST_AddStatusMessageHandler(KEST_StatusMessageHandler handler) {
    if (const kest::ExportCall call; call.manager() == nullptr) return KEST_NO_DEVICE;
    kest::applicationStatusHandler.store(handler);
    return KEST_OK;
}

int WINAPI KEST_RemoveStateChangeHandler(void) {
    if (const kest::ExportCall call; call.manager() == nullptr) return KEST_NO_DEVICE;
    kest::applicationStateHandler.store(nullptr);
    return KEST_OK;
}

int WINAPI KEST_RemoveStatusMessageHandler(void) {
    if (const kest::ExportCall call; call.manager() == nullptr) return KEST_NO_DEVICE;
    kest::applicationStatusHandler.store(nullptr);
    return KEST_OK;
}

int WINAPI KEST_Open(unsigned char versionRequested, unsigned char downloadRequested,
                     int timeoutSeconds) {
    return request("exception in KEST_Open()", [&](DeviceManager& m) {
        m.versionRequested = versionRequested;
        m.downloadRequested = downloadRequested;
        m.timeoutSeconds = timeoutSeconds;
        m.requestedState = KEST_STATE_READY;
        return m.submitRequest(kest::timeoutMilliseconds(timeoutSeconds));
    });
}

int WINAPI KEST_Close(void) {
    return request("exception in KEST_Close()", [](DeviceManager& m) {
        m.requestedState = KEST_STATE_CLOSED;
        return m.submitRequest(0);
    });
}

int WINAPI KEST_Enable(int type) {
    return request("exception in KEST_Enable()", [type](DeviceManager& m) {
        m.requestedState = enabledStateFor(type);
        return m.submitRequest(defaultWait(m));
    });
}

int WINAPI KEST_Disable(void) {
    return request("exception in KEST_Disable()", [](DeviceManager& m) {
        m.requestedState = KEST_STATE_READY;
        m.powerCycleNeeded = 1;
        return m.submitRequest(0);
    });
}

int WINAPI KEST_DownloadFile(void) {
    return request("exception in KEST_DownloadFile()", [](DeviceManager& m) {
        m.downloadRequested = 1;
        if (m.downloadDone.load(std::memory_order_acquire) != 0) return KEST_OK;
        m.requestedState = KEST_STATE_READY;
        return m.submitRequest(defaultWait(m));
    });
}

int WINAPI KEST_GetVersionInfo(int* major, int* minor, char* text) {
    return request("exception in KEST_GetVersionInfo()", [=](DeviceManager& m) {
        m.versionRequested = 1;
        if (m.versionReceived.load(std::memory_order_acquire) == 0) {
            m.requestedState = KEST_STATE_READY;
            m.submitRequest(defaultWait(m));
        }
        return m.readVersion(major, minor, text) ? KEST_OK : KEST_NOT_DONE;
    });
}

int WINAPI KEST_GetDownloadInfo(void*, int* received, int* total) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    if (m == nullptr) return KEST_NO_DEVICE;
    bool done = false;
    int count = 0;
    int size = 0;
    {
        // Flag and counts of one and the same transfer.
        kest::Guard record(m->transferLock);
        done = m->downloadDone.load(std::memory_order_acquire) != 0;
        count = m->bytesReceived;
        size = m->fileSize;
    }
    if (received != nullptr) *received = count;
    if (total != nullptr) *total = size;
    return done ? KEST_OK : KEST_NOT_DONE;
}

int WINAPI KEST_GetState(void) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    return m == nullptr ? 0 : m->currentState.load();
}

int WINAPI KEST_GetTimeout(void) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    return m == nullptr ? 0 : m->timeoutSeconds.load();
}

int WINAPI KEST_SetTimeout(int seconds) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    if (m == nullptr) return KEST_NO_DEVICE;
    m->timeoutSeconds = seconds;
    return KEST_OK;
}

int WINAPI KEST_GetVersionReq(void) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    return m == nullptr ? 0 : m->versionRequested.load();
}

int WINAPI KEST_SetVersionReq(unsigned char versionRequested) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    if (m == nullptr) return KEST_NO_DEVICE;
    m->versionRequested = versionRequested;
    return KEST_OK;
}

int WINAPI KEST_GetDownloadReq(void) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    return m == nullptr ? 0 : m->downloadRequested.load();
}

int WINAPI KEST_SetDownloadReq(unsigned char downloadRequested) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    if (m == nullptr) return KEST_NO_DEVICE;
    m->downloadRequested = downloadRequested;
    return KEST_OK;
}

int WINAPI KEST_GetAutoRecover(unsigned char* onSuspend, unsigned char* onCradle) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    if (m == nullptr) return KEST_NO_DEVICE;
    *onSuspend = m->autoRecoverOnSuspend;
    *onCradle = m->autoRecoverOnCradle;
    return KEST_OK;
}

int WINAPI KEST_SetAutoRecover(unsigned char onSuspend, unsigned char onCradle) {
    const kest::ExportCall call;
    DeviceManager* const m = call.manager();
    if (m == nullptr) return KEST_NO_DEVICE;
    m->autoRecoverOnSuspend = onSuspend;
    m->autoRecoverOnCradle = onCradle;
    return KEST_OK;
}

}  // extern "C"

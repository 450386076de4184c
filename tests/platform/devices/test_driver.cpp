// A stream driver in a host library, with the prefix TST, for the device manager's tests.
// Reads block until bytes were written on the same device or the handle is pre-closed; the
// counters below let the tests see which entry points ran, and in what state.
#include "test_driver.h"

#include <devload.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>

namespace {

struct DeviceContext {
    std::mutex lock;
    std::condition_variable changed;
    std::string bytes;
    int opens = 0;
};

struct OpenContext {
    DeviceContext* device;
    bool preClosed = false;
    int inFlight = 0;
};

std::mutex statsLock;
TestDriverStats stats;

template <class F>
void record(F&& change) {
    std::lock_guard guard(statsLock);
    change(stats);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void TestDriver_Stats(TestDriverStats* out) {
    std::lock_guard guard(statsLock);
    *out = stats;
}

__attribute__((visibility("default"))) DWORD_PTR TST_Init(DWORD_PTR dwContext,
                                                          LPCVOID lpvBusContext) {
    const auto* path = reinterpret_cast<const WCHAR*>(dwContext);
    record([&](TestDriverStats& s) {
        ++s.inits;
        s.lastClientInfo = reinterpret_cast<std::uintptr_t>(lpvBusContext);
        s.lastActiveKey.clear();
        for (const WCHAR* p = path; *p != 0; ++p) s.lastActiveKey += static_cast<char>(*p);
    });
    return reinterpret_cast<DWORD_PTR>(new DeviceContext);
}

__attribute__((visibility("default"))) BOOL TST_Deinit(DWORD_PTR hDeviceContext) {
    auto* device = reinterpret_cast<DeviceContext*>(hDeviceContext);
    record([&](TestDriverStats& s) {
        ++s.deinits;
        if (device->opens != 0) ++s.deinitsWithOpens;
    });
    delete device;
    return TRUE;
}

__attribute__((visibility("default"))) DWORD_PTR TST_Open(DWORD_PTR hDeviceContext,
                                                          DWORD AccessCode, DWORD ShareMode) {
    auto* device = reinterpret_cast<DeviceContext*>(hDeviceContext);
    record([&](TestDriverStats& s) {
        s.lastAccess = AccessCode;
        s.lastShare = ShareMode;
    });
    std::lock_guard guard(device->lock);
    // Share mode 0 asks for the device alone.
    if (ShareMode == 0 && device->opens > 0) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    ++device->opens;
    return reinterpret_cast<DWORD_PTR>(new OpenContext{device});
}

__attribute__((visibility("default"))) BOOL TST_PreClose(DWORD_PTR hOpenContext) {
    auto* open = reinterpret_cast<OpenContext*>(hOpenContext);
    record([](TestDriverStats& s) { ++s.preCloses; });
    std::lock_guard guard(open->device->lock);
    open->preClosed = true;
    open->device->changed.notify_all();
    return TRUE;
}

__attribute__((visibility("default"))) BOOL TST_Close(DWORD_PTR hOpenContext) {
    auto* open = reinterpret_cast<OpenContext*>(hOpenContext);
    {
        std::lock_guard guard(open->device->lock);
        record([&](TestDriverStats& s) {
            ++s.closes;
            if (open->inFlight != 0) ++s.closesWithCallsInFlight;
        });
        --open->device->opens;
    }
    delete open;
    return TRUE;
}

__attribute__((visibility("default"))) DWORD TST_Read(DWORD_PTR hOpenContext, LPVOID pBuffer,
                                                      DWORD Count) {
    auto* open = reinterpret_cast<OpenContext*>(hOpenContext);
    std::unique_lock lock(open->device->lock);
    ++open->inFlight;
    record([](TestDriverStats& s) { ++s.readsBlocked; });
    open->device->changed.wait(lock,
                               [&] { return open->preClosed || !open->device->bytes.empty(); });
    --open->inFlight;
    if (open->preClosed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return MAXDWORD;
    }
    const DWORD n = std::min<DWORD>(Count, static_cast<DWORD>(open->device->bytes.size()));
    open->device->bytes.copy(static_cast<char*>(pBuffer), n);
    open->device->bytes.erase(0, n);
    return n;
}

__attribute__((visibility("default"))) DWORD TST_Write(DWORD_PTR hOpenContext, LPCVOID pBuffer,
                                                       DWORD Count) {
    auto* open = reinterpret_cast<OpenContext*>(hOpenContext);
    std::lock_guard guard(open->device->lock);
    open->device->bytes.append(static_cast<const char*>(pBuffer), Count);
    open->device->changed.notify_all();
    return Count;
}

__attribute__((visibility("default"))) DWORD TST_Seek(DWORD_PTR, LONG Amount, WORD Type) {
    return static_cast<DWORD>(Amount) * 10 + Type;
}

__attribute__((visibility("default"))) BOOL TST_IOControl(DWORD_PTR, DWORD dwCode, PBYTE pBufIn,
                                                          DWORD dwLenIn, PBYTE pBufOut,
                                                          DWORD dwLenOut, PDWORD pdwActualOut) {
    // Code 7 copies the input to the output, reversed.
    if (dwCode != 7 || dwLenOut < dwLenIn) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (DWORD i = 0; i < dwLenIn; ++i) pBufOut[i] = pBufIn[dwLenIn - 1 - i];
    if (pdwActualOut) *pdwActualOut = dwLenIn;
    return TRUE;
}

}  // extern "C"

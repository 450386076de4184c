// The DRX stream interface: a device context per sensor, an open context per handle.
#include <cstring>

#include "exports.h"
#include "live_contexts.h"
#include "power.h"

DWORD_PTR DRX_Init(DWORD_PTR dwContext, LPCVOID /*lpvBusContext*/) {
    const auto* activeKeyPath = reinterpret_cast<LPCWSTR>(dwContext);
    if (activeKeyPath == nullptr) return 0;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, activeKeyPath, 0, 0, &key) != ERROR_SUCCESS) return 0;

    // "ClientInfo" holds the client id that USBDeviceAttach gave to ActivateDevice. Looking it
    // up in the table of live contexts takes the place of the handheld's guarded dereference of
    // an address: an unknown or stale value finds nothing and is never read through.
    DWORD clientId = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof clientId;
    DeviceContext* context = nullptr;
    if (RegQueryValueEx(key, TEXT("ClientInfo"), nullptr, &type, reinterpret_cast<BYTE*>(&clientId),
                        &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof clientId) {
        {
            const auto lock = LockContexts();
            context = FindDeviceByClientId(clientId);
            if (context != nullptr) HoldDevice(context);
        }
        if (context != nullptr) {
            {
                const ScopedLock lock(context->stateLock);
                SuspendSensor(context);
            }
            ReleaseDevice(context);
        }
    }
    RegCloseKey(key);
    return reinterpret_cast<DWORD_PTR>(context);
}

BOOL DRX_Deinit(DWORD_PTR hDeviceContext) {
    DeviceContext* context = AcquireDevice(hDeviceContext);
    if (context == nullptr) return FALSE;
    {
        const ScopedLock lock(context->stateLock);
        ResumeSensor(context);
    }
    ReleaseDevice(context);
    return TRUE;
}

namespace {

// The open itself, with the context's stateLock held. The detached check, the count and the
// idle event change under the lock that DeviceNotify takes to set detached: once the detach has
// begun no open can slip in, and an open that got in first has reset the idle event the detach
// then waits on.
OpenContext* OpenSensor(DeviceContext* context) {
    if (IsDetached(context)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto* open = static_cast<OpenContext*>(LocalAlloc(LPTR, sizeof(OpenContext)));
    if (open == nullptr) return nullptr;
    open->readTimeout = INFINITE;
    open->writeTimeout = INFINITE;
    open->controlTimeout = INFINITE;
    open->device = context;
    open->timeoutPerRequest = context->timeoutPerRequest;
    open->bulkRetryNumber = context->bulkRetryNumber;
    std::memcpy(open->signature, kOpenSignature, sizeof kOpenSignature);
    {
        const auto lock = LockContexts();
        AddLiveOpen(open);
    }
    if (InterlockedIncrement(&context->openCount) == 1) {
        ResetEvent(context->idleEvent);
        ResumeSensor(context);
    }
    return open;
}

}  // namespace

DWORD_PTR DRX_Open(DWORD_PTR hDeviceContext, DWORD /*AccessCode*/, DWORD /*ShareMode*/) {
    DeviceContext* context = AcquireDevice(hDeviceContext);
    if (context == nullptr) return 0;
    OpenContext* open = nullptr;
    {
        const ScopedLock lock(context->stateLock);
        open = OpenSensor(context);
    }
    ReleaseDevice(context);
    return reinterpret_cast<DWORD_PTR>(open);
}

BOOL DRX_Close(DWORD_PTR hOpenContext) {
    // The device manager runs the close of a handle closed during a call on that call's thread,
    // just before the call returns: the caller must still see the call's own last error, not
    // what a suspend of a sensor already gone left.
    const DWORD callerError = GetLastError();
    OpenContext* open = nullptr;
    DeviceContext* context = nullptr;
    {
        // Out of the table at once: a second close of the same handle finds nothing.
        const auto lock = LockContexts();
        open = FindOpen(hOpenContext);
        if (open == nullptr) return FALSE;
        RemoveLiveOpen(open);
        context = open->device;
        HoldDevice(context);
    }
    {
        const ScopedLock lock(context->stateLock);
        if (InterlockedDecrement(&context->openCount) == 0) {
            SuspendSensor(context);
            SetEvent(context->idleEvent);
        }
    }
    ReleaseDevice(context);
    open->device = nullptr;
    std::memset(open->signature, 0, sizeof open->signature);
    LocalFree(open);
    SetLastError(callerError);
    return TRUE;
}

DWORD DRX_Seek(DWORD_PTR /*hOpenContext*/, LONG /*Amount*/, WORD /*Type*/) {
    return 0xFFFFFFFFu;
}

// The driver's records: one DeviceContext per attached sensor, one PipeState per pipe, one
// OpenContext per open handle. Each is validated by its signature and by its presence in the
// table of live contexts (live_contexts.h) before it is used.
#pragma once

#include <usbdi.h>
#include <windows.h>

struct PipeState {
    USB_PIPE hPipe;
    USB_ENDPOINT_DESCRIPTOR endpoint;
    HANDLE completionEvent;
    CRITICAL_SECTION lock;
    BOOL lockInitialised;
    DWORD maxTransferSize;
};

struct DeviceContext {
    BYTE signature[4];
    volatile LONG openCount;
    BOOL detached;
    HANDLE idleEvent;
    // The handheld keeps the first 168 bytes (size word and 41 pointers of four bytes); on this
    // host the same table is sizeof(USB_FUNCS). Entries the stack did not supply stay null.
    USB_FUNCS usbFuncs;
    USB_DEVICE_DESCRIPTOR deviceDescriptor;
    USB_HANDLE hDevice;
    HANDLE activeDevice;
    LPCUSB_INTERFACE interface;
    BOOL suspendSupported;
    BOOL suspended;
    DWORD failureCount;
    PipeState bulkIn;
    PipeState bulkOut;
    PipeState interruptIn;
    BOOL timeoutPerRequest;
    DWORD bulkRetryNumber;
    // The 32-bit word handed to ActivateDevice as the client information: an address does not
    // fit into the REG_DWORD "ClientInfo" on this host, so DRX_Init maps this id back.
    DWORD clientId;
    // How long the detach waits, after the last handle closed, before freeing the context.
    DWORD detachPause;
    // The next live device context (live_contexts.cpp).
    DeviceContext* nextLive;
    // Orders the changes of openCount, idleEvent, detached and suspended with each other, and so
    // every open with the detach. It is this sensor's alone and may be held across a power call
    // into the USB stack: a slow call on one sensor holds up no other.
    CRITICAL_SECTION stateLock;
    // Callers that hold the record in memory, the table of live contexts among them; changed
    // under the process-wide lock (live_contexts.h). The last one to let go frees the record.
    LONG references;
};

struct OpenContext {
    BYTE signature[4];
    DeviceContext* device;
    DWORD readTimeout;
    DWORD writeTimeout;
    DWORD controlTimeout;
    BOOL timeoutPerRequest;
    DWORD bulkRetryNumber;
    // The next live open context (live_contexts.cpp).
    OpenContext* nextLive;
};

// The signatures, as the bytes "VkDc" and "VkOc" in memory order.
extern const BYTE kDeviceSignature[4];
extern const BYTE kOpenSignature[4];

// detached is set under the context's stateLock but read by transfers that run without it.
inline BOOL IsDetached(const DeviceContext* context) {
    return __atomic_load_n(&context->detached, __ATOMIC_ACQUIRE);
}
inline void MarkDetached(DeviceContext* context) {
    __atomic_store_n(&context->detached, TRUE, __ATOMIC_RELEASE);
}

// Fields that calls on other threads change without a lock: failureCount (reads and writes
// together), and a handle's time-outs and flag (set by control codes while a transfer may be
// reading them). Each access is a single atomic word; no ordering with other data is needed.
template <class T>
inline T LoadShared(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}
template <class T>
inline void StoreShared(T& field, T value) {
    __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}
template <class T>
inline T AddShared(T& field, T value) {
    return __atomic_add_fetch(&field, value, __ATOMIC_RELAXED);
}

// A critical section held for one scope, released however the scope is left.
class ScopedLock {
  public:
    explicit ScopedLock(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~ScopedLock() { LeaveCriticalSection(&section_); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    CRITICAL_SECTION& section_;
};

DeviceContext* AllocateDeviceContext();
// Takes the context out of service (see device_context.cpp); the record itself goes with the
// last reference.
void FreeDeviceContext(DeviceContext* context);
// Releases what the record itself owns and the record; for the last reference only.
void DestroyDeviceContext(DeviceContext* context);
void ClosePipeState(DeviceContext* context, PipeState* pipe);

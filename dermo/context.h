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
    // TRUE once the sensor is gone (IsDetached, MarkDetached).
    volatile LONG detached;
    HANDLE idleEvent;
    // The handheld keeps the first 168 bytes (size word and 41 pointers of four bytes); on this
    // host the same table is sizeof(USB_FUNCS). Entries the stack did not supply stay null.
    USB_FUNCS usbFuncs;
    USB_DEVICE_DESCRIPTOR deviceDescriptor;
    USB_HANDLE hDevice;
    HANDLE activeDevice;
    // Not named "interface": the SDK defines that word as a macro.
    LPCUSB_INTERFACE usbInterface;
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
    // TRUE or FALSE; a DWORD like the other words that control codes change (LoadShared).
    DWORD timeoutPerRequest;
    DWORD bulkRetryNumber;
    // The next live open context (live_contexts.cpp).
    OpenContext* nextLive;
};

// The signatures, as the bytes "VkDc" and "VkOc" in memory order.
extern const BYTE kDeviceSignature[4];
extern const BYTE kOpenSignature[4];

// detached is set under the context's stateLock but read by transfers that run without it. The
// interlocked calls are full barriers: what was written before the store is seen after the load.
inline BOOL IsDetached(DeviceContext* context) {
    return InterlockedCompareExchange(&context->detached, FALSE, FALSE) != FALSE;
}
inline void MarkDetached(DeviceContext* context) {
    InterlockedExchange(&context->detached, TRUE);
}

// Fields that calls on other threads change without a lock: failureCount (reads and writes
// together), and a handle's time-outs and flag (set by control codes while a transfer may be
// reading them). Each access is a single interlocked word; no ordering with other data is
// needed. A DWORD is the unsigned form of LONG, so the interlocked calls may work on it as one.
static_assert(sizeof(DWORD) == sizeof(LONG), "a DWORD is a LONG-sized word");
inline LONG volatile* InterlockedWord(DWORD& field) {
    return reinterpret_cast<LONG volatile*>(&field);
}
inline DWORD LoadShared(DWORD& field) {
    return static_cast<DWORD>(InterlockedCompareExchange(InterlockedWord(field), 0, 0));
}
inline void StoreShared(DWORD& field, DWORD value) {
    InterlockedExchange(InterlockedWord(field), static_cast<LONG>(value));
}
inline void AddShared(DWORD& field, DWORD value) {
    InterlockedExchangeAdd(InterlockedWord(field), static_cast<LONG>(value));
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

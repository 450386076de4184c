#include <kfuncs.h>

#include <cstring>
#include <initializer_list>

#include "context.h"
#include "live_contexts.h"

const BYTE kDeviceSignature[4] = {'V', 'k', 'D', 'c'};
const BYTE kOpenSignature[4] = {'V', 'k', 'O', 'c'};

namespace {

// Ends the transfers under way on the bulk pipes, so that a call waiting for one returns. The
// interrupt pipe carries none.
void AbortBulkTransfers(DeviceContext* context) {
    const USB_FUNCS& usb = context->usbFuncs;
    if (usb.lpAbortPipeTransfers == nullptr) return;
    for (const PipeState* pipe : {&context->bulkIn, &context->bulkOut})
        if (pipe->hPipe != nullptr) usb.lpAbortPipeTransfers(pipe->hPipe, 0);
}

}  // namespace

DeviceContext* AllocateDeviceContext() {
    auto* context = static_cast<DeviceContext*>(LocalAlloc(LPTR, sizeof(DeviceContext)));
    if (context == nullptr) return nullptr;
    std::memcpy(context->signature, kDeviceSignature, sizeof kDeviceSignature);
    InitializeCriticalSection(&context->stateLock);
    const auto lock = LockContexts();
    AddLiveDevice(context);
    return context;
}

void ClosePipeState(DeviceContext* context, PipeState* pipe) {
    if (pipe->hPipe != nullptr) {
        if (context->usbFuncs.lpClosePipe != nullptr) context->usbFuncs.lpClosePipe(pipe->hPipe);
        pipe->hPipe = nullptr;
    }
    if (pipe->completionEvent != nullptr) {
        CloseHandle(pipe->completionEvent);
        pipe->completionEvent = nullptr;
    }
    if (pipe->lockInitialised) {
        DeleteCriticalSection(&pipe->lock);
        pipe->lockInitialised = FALSE;
    }
}

void FreeDeviceContext(DeviceContext* context) {
    {
        const auto lock = LockContexts();
        if (FindDevice(reinterpret_cast<DWORD_PTR>(context)) == nullptr) return;
    }
    {
        // An attach that fails after activation may already have handles open on the stream
        // device; from here on no open gets in and every call is refused.
        const ScopedLock lock(context->stateLock);
        MarkDetached(context);
    }
    // Nothing a call in flight can reach goes before that call has returned: its transfer is
    // ended, the deactivation waits for every call to return (and closes what is still open),
    // and only then are the pipes, their events and their locks released.
    AbortBulkTransfers(context);
    if (context->activeDevice != nullptr) {
        DeactivateDevice(context->activeDevice);
        context->activeDevice = nullptr;
    }
    ClosePipeState(context, &context->bulkOut);
    ClosePipeState(context, &context->bulkIn);
    ClosePipeState(context, &context->interruptIn);
    {
        // Whoever looks the context up from now on, under the same lock, finds nothing.
        const auto lock = LockContexts();
        RemoveLiveDevice(context);
        std::memset(context->signature, 0, sizeof context->signature);
    }
    ReleaseDevice(context);  // the table's reference
}

void DestroyDeviceContext(DeviceContext* context) {
    DeleteCriticalSection(&context->stateLock);
    if (context->idleEvent != nullptr) CloseHandle(context->idleEvent);
    LocalFree(context);
}

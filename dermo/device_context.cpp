#include <cstring>

#include "context.h"
#include "live_contexts.h"

const BYTE kDeviceSignature[4] = {'V', 'k', 'D', 'c'};
const BYTE kOpenSignature[4] = {'V', 'k', 'O', 'c'};

DeviceContext* AllocateDeviceContext() {
    auto* context = static_cast<DeviceContext*>(LocalAlloc(LPTR, sizeof(DeviceContext)));
    if (context == nullptr) return nullptr;
    std::memcpy(context->signature, kDeviceSignature, sizeof kDeviceSignature);
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
        // An attach that fails after activation may already have handles open on the stream
        // device; they are refused from here on and closed by the deactivation.
        MarkDetached(context);
    }
    ClosePipeState(context, &context->bulkOut);
    ClosePipeState(context, &context->bulkIn);
    ClosePipeState(context, &context->interruptIn);
    if (context->activeDevice != nullptr) {
        DeactivateDevice(context->activeDevice);
        context->activeDevice = nullptr;
    }
    {
        // Out of the table before anything else is released: whoever looks the context up
        // from now on, under the same lock, finds nothing.
        const auto lock = LockContexts();
        RemoveLiveDevice(context);
        std::memset(context->signature, 0, sizeof context->signature);
    }
    if (context->idleEvent != nullptr) {
        CloseHandle(context->idleEvent);
        context->idleEvent = nullptr;
    }
    LocalFree(context);
}

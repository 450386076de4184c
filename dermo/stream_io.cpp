// Entry checks of the data and control entry points, shared with the transfers that follow
// them: a handle that is not live is refused without being read, a detached sensor is refused.
#include "exports.h"
#include "live_contexts.h"

namespace {

// The live open handle, or null. The handle stays valid after the lock is released: the device
// manager does not close it while a call on it is in progress, and the device context is freed
// only after the last close.
OpenContext* EnterCall(DWORD_PTR hOpenContext) {
    const auto lock = LockContexts();
    return FindOpen(hOpenContext);
}

// The shared beginning of DRX_Read and DRX_Write; FALSE when the call ends here with the last
// error set.
bool CheckTransfer(const OpenContext* open, const void* buffer, DWORD count) {
    if (IsDetached(open->device)) {
        SetLastError(ERROR_NOT_READY);
        return false;
    }
    if (buffer == nullptr || count == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

DWORD DRX_Read(DWORD_PTR hOpenContext, LPVOID pBuffer, DWORD Count) {
    const OpenContext* open = EnterCall(hOpenContext);
    if (open == nullptr) return 0xFFFFFFFFu;
    if (CheckTransfer(open, pBuffer, Count)) SetLastError(ERROR_NOT_SUPPORTED);
    return 0xFFFFFFFFu;
}

DWORD DRX_Write(DWORD_PTR hOpenContext, LPCVOID pBuffer, DWORD Count) {
    const OpenContext* open = EnterCall(hOpenContext);
    if (open == nullptr) return 0;
    if (CheckTransfer(open, pBuffer, Count)) SetLastError(ERROR_NOT_SUPPORTED);
    return 0xFFFFFFFFu;
}

BOOL DRX_IOControl(DWORD_PTR hOpenContext, DWORD /*dwCode*/, PBYTE /*pBufIn*/, DWORD /*dwLenIn*/,
                   PBYTE /*pBufOut*/, DWORD /*dwLenOut*/, PDWORD /*pdwActualOut*/) {
    const OpenContext* open = EnterCall(hOpenContext);
    if (open == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SetLastError(IsDetached(open->device) ? ERROR_NOT_READY : ERROR_NOT_SUPPORTED);
    return FALSE;
}

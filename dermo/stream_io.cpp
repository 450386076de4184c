// DRX_Read and DRX_Write: the entry checks, then the transfer loop (bulk_transfer.h).
#include "bulk_transfer.h"
#include "exports.h"
#include "live_contexts.h"

namespace {

// The shared beginning of both calls; FALSE when the call ends here with the last error set.
bool CheckTransfer(const OpenContext* open, const void* buffer, DWORD count) {
    if (IsDetached(open->device)) {
        SetLastError(ERROR_NOT_READY);
        return false;
    }
    // The transfer loop holds the bytes still to move as a positive 32-bit signed number.
    if (buffer == nullptr || count == 0 || count > 0x7FFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

DWORD DRX_Read(DWORD_PTR hOpenContext, LPVOID pBuffer, DWORD Count) {
    OpenContext* open = EnterCall(hOpenContext);
    if (open == nullptr) return 0xFFFFFFFFu;
    if (!CheckTransfer(open, pBuffer, Count)) return 0xFFFFFFFFu;
    return BulkTransfer(open, BulkDirection::Read, static_cast<BYTE*>(pBuffer), Count);
}

DWORD DRX_Write(DWORD_PTR hOpenContext, LPCVOID pBuffer, DWORD Count) {
    OpenContext* open = EnterCall(hOpenContext);
    if (open == nullptr) return 0;
    if (!CheckTransfer(open, pBuffer, Count)) return 0xFFFFFFFFu;
    // The stack copies OUT data when the transfer is issued and never writes through this
    // pointer; its interface takes it without const.
    return BulkTransfer(open, BulkDirection::Write,
                        const_cast<BYTE*>(static_cast<const BYTE*>(pBuffer)), Count);
}

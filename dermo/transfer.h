// Transfers as the driver issues them: the completion routine that wakes the issuing thread,
// issue-and-wait for bulk and vendor transfers, and the status query. Each operation that returns
// an error code also sets it as the thread's last error when it is nonzero.
#pragma once

#include <usbdi.h>
#include <windows.h>

#include "context.h"

// The thread's last error, or ERROR_GEN_FAILURE where a failed call left none.
inline DWORD LastErrorOrGeneric() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// The stack supplies what waiting for a transfer and closing it need: GetTransferStatus and
// CloseTransfer.
bool CanAwaitTransfers(LPCUSB_FUNCS usb);

// The completion routine of every asynchronous transfer: the parameter is the event the issuing
// thread waits on. 0, or the error of setting the event (ERROR_INVALID_HANDLE for none).
DWORD CALLBACK TransferComplete(LPVOID lpvNotifyParameter);

// Issues a bulk transfer on one of the device's pipes and waits up to `wait` ms for it: with a
// routine and an event the transfer runs asynchronously and the wait is bounded; without them it
// is synchronous. The transfer is closed before the call returns in every case, so the stack never
// touches `buffer` afterwards. 0, ERROR_TIMEOUT, ERROR_GEN_FAILURE (also for a nonzero USB status,
// which is stored in *usbStatus, and for a refused transfer that left no last error),
// ERROR_INVALID_PARAMETER, the stack's error for a refused transfer, or ERROR_NOT_READY when the
// device was found detached once the transfer was issued (it is then cancelled, not waited for).
DWORD IssueBulkAndWait(DeviceContext* device, USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE routine,
                       HANDLE event, DWORD flags, LPVOID buffer, ULONG physicalAddress, DWORD size,
                       LPDWORD bytes, DWORD wait, LPDWORD usbStatus);

// The same for a vendor request on the default pipe; a refused transfer is ERROR_GEN_FAILURE.
DWORD IssueVendorAndWait(LPCUSB_FUNCS usb, USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                         HANDLE event, DWORD flags, LPCUSB_DEVICE_REQUEST setup, LPVOID buffer,
                         ULONG physicalAddress, LPDWORD bytes, DWORD wait, LPDWORD usbStatus);

// GetTransferStatus; when it fails the status reads USB_CANCELED_ERROR and the result is FALSE.
// bytes may be null.
BOOL QueryTransferStatus(LPCUSB_FUNCS usb, USB_TRANSFER transfer, LPDWORD bytes, LPDWORD usbStatus);

// Waits for a transfer issued with routine and event (or a synchronous one, which has finished)
// and queries its status: 0, ERROR_TIMEOUT (status queried too) or ERROR_GEN_FAILURE for a failed
// wait. Closes nothing.
DWORD AwaitTransfer(LPCUSB_FUNCS usb, USB_TRANSFER transfer, LPTRANSFER_NOTIFY_ROUTINE routine,
                    HANDLE event, DWORD wait, LPDWORD bytes, LPDWORD usbStatus);

#include "transfer.h"

#include <kfuncs.h>

namespace {

// Both issue-and-wait operations: the one difference is the call that issues the transfer and
// what a refused transfer reports.
template <class Issue, class Abandoned>
DWORD IssueAndWait(LPCUSB_FUNCS usb, LPTRANSFER_NOTIFY_ROUTINE routine, HANDLE event, DWORD wait,
                   LPDWORD bytes, LPDWORD usbStatus, Issue issue, bool refusedIsGeneric,
                   Abandoned abandoned) {
    *bytes = 0;
    *usbStatus = USB_NO_ERROR;
    // A completion left over from an earlier transfer must not end this wait.
    if (event != nullptr && routine != nullptr && wait != 0) ResetEvent(event);

    DWORD error = ERROR_SUCCESS;
    const USB_TRANSFER transfer = issue();
    if (transfer == nullptr) {
        // Refused: never a success, whatever the stack left as last error.
        error = refusedIsGeneric ? ERROR_GEN_FAILURE : LastErrorOrGeneric();
    } else if (abandoned(transfer)) {
        // The sensor's teardown began before the stack took this transfer, so its abort missed
        // it: waiting would hold the teardown up until the transfer's time-out. Closing cancels it.
        usb->lpCloseTransfer(transfer);
        error = ERROR_NOT_READY;
    } else {
        error = AwaitTransfer(usb, transfer, routine, event, wait, bytes, usbStatus);
        // Also after a time-out: closing cancels the transfer, and once CloseTransfer has
        // returned the stack no longer writes into the caller's buffer.
        usb->lpCloseTransfer(transfer);
    }
    if (*usbStatus != USB_NO_ERROR && error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
    if (error != ERROR_SUCCESS) SetLastError(error);
    return error;
}

DWORD Refuse(DWORD error) {
    SetLastError(error);
    return error;
}

}  // namespace

bool CanAwaitTransfers(LPCUSB_FUNCS usb) {
    return usb != nullptr && usb->lpGetTransferStatus != nullptr && usb->lpCloseTransfer != nullptr;
}

DWORD CALLBACK TransferComplete(LPVOID lpvNotifyParameter) {
    if (lpvNotifyParameter == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return ERROR_INVALID_HANDLE;
    }
    if (!EventModify(static_cast<HANDLE>(lpvNotifyParameter), EVENT_SET)) return GetLastError();
    return 0;
}

BOOL QueryTransferStatus(LPCUSB_FUNCS usb, USB_TRANSFER transfer, LPDWORD bytes,
                         LPDWORD usbStatus) {
    if (!usb->lpGetTransferStatus(transfer, bytes, usbStatus)) {
        *usbStatus = USB_CANCELED_ERROR;
        return FALSE;
    }
    return TRUE;
}

DWORD AwaitTransfer(LPCUSB_FUNCS usb, USB_TRANSFER transfer, LPTRANSFER_NOTIFY_ROUTINE routine,
                    HANDLE event, DWORD wait, LPDWORD bytes, LPDWORD usbStatus) {
    if (routine == nullptr || event == nullptr) {
        QueryTransferStatus(usb, transfer, bytes, usbStatus);
        return ERROR_SUCCESS;
    }
    switch (WaitForSingleObject(event, wait)) {
        case WAIT_OBJECT_0:
            QueryTransferStatus(usb, transfer, bytes, usbStatus);
            return ERROR_SUCCESS;
        case WAIT_TIMEOUT:
            QueryTransferStatus(usb, transfer, bytes, usbStatus);
            return ERROR_TIMEOUT;
        default:
            return ERROR_GEN_FAILURE;
    }
}

DWORD IssueBulkAndWait(DeviceContext* device, USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE routine,
                       HANDLE event, DWORD flags, LPVOID buffer, ULONG physicalAddress, DWORD size,
                       LPDWORD bytes, DWORD wait, LPDWORD usbStatus) {
    LPCUSB_FUNCS usb = &device->usbFuncs;
    if (!CanAwaitTransfers(usb) || usb->lpIssueBulkTransfer == nullptr || pipe == nullptr ||
        bytes == nullptr || usbStatus == nullptr)
        return Refuse(ERROR_INVALID_PARAMETER);
    return IssueAndWait(
        usb, routine, event, wait, bytes, usbStatus,
        [&] {
            return usb->lpIssueBulkTransfer(pipe, routine, event, flags, size, buffer,
                                            physicalAddress);
        },
        false,
        [device, usb](USB_TRANSFER transfer) {
            // A transfer the stack has finished (an unplug fails the pending ones before it
            // notifies the driver) reports its own outcome.
            return IsDetached(device) &&
                   !(usb->lpIsTransferComplete != nullptr && usb->lpIsTransferComplete(transfer));
        });
}

DWORD IssueVendorAndWait(LPCUSB_FUNCS usb, USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                         HANDLE event, DWORD flags, LPCUSB_DEVICE_REQUEST setup, LPVOID buffer,
                         ULONG physicalAddress, LPDWORD bytes, DWORD wait, LPDWORD usbStatus) {
    if (!CanAwaitTransfers(usb) || usb->lpIssueVendorTransfer == nullptr || device == nullptr ||
        setup == nullptr || bytes == nullptr || usbStatus == nullptr)
        return Refuse(ERROR_INVALID_PARAMETER);
    return IssueAndWait(
        usb, routine, event, wait, bytes, usbStatus,
        [&] {
            return usb->lpIssueVendorTransfer(device, routine, event, flags, setup, buffer,
                                              physicalAddress);
        },
        true, [](USB_TRANSFER) { return false; });
}

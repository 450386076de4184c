#include "recovery.h"

#include "transfer.h"

namespace {

constexpr WORD kFeatureEndpointHalt = 0;

}  // namespace

BOOL ResetPipeIfHalted(LPCUSB_FUNCS usb, USB_PIPE pipe) {
    if (usb->lpIsPipeHalted == nullptr) return TRUE;
    BOOL halted = FALSE;
    if (!usb->lpIsPipeHalted(pipe, &halted) || !halted) return TRUE;
    return usb->lpResetPipe != nullptr && usb->lpResetPipe(pipe);
}

DWORD ClearEndpointHalt(LPCUSB_FUNCS usb, USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                        HANDLE event, DWORD flags, UCHAR endpointIndex, DWORD wait) {
    if (usb->lpClearFeature == nullptr || !CanAwaitTransfers(usb)) return ERROR_NOT_SUPPORTED;
    if (event != nullptr && routine != nullptr && wait != 0) ResetEvent(event);
    const USB_TRANSFER transfer =
        usb->lpClearFeature(device, routine, event, flags, kFeatureEndpointHalt, endpointIndex);
    if (transfer == nullptr) return GetLastError();
    DWORD status = USB_NO_ERROR;
    DWORD error = AwaitTransfer(usb, transfer, routine, event, wait, nullptr, &status);
    if (error == ERROR_SUCCESS && status != USB_NO_ERROR) error = ERROR_GEN_FAILURE;
    usb->lpCloseTransfer(transfer);
    return error;
}

DWORD RecoverPipe(LPCUSB_FUNCS usb, USB_HANDLE device, USB_PIPE pipe,
                  LPTRANSFER_NOTIFY_ROUTINE routine, HANDLE event, UCHAR endpointIndex,
                  DWORD wait) {
    const DWORD noWait = routine != nullptr && event != nullptr ? USB_NO_WAIT : 0;
    // Unanswered, the pipe counts as halted.
    BOOL halted = TRUE;
    if (usb->lpIsPipeHalted != nullptr && usb->lpIsPipeHalted(pipe, &halted) && !halted) {
        if (routine != nullptr) routine(event);
        return ERROR_SUCCESS;
    }
    ResetPipeIfHalted(usb, pipe);
    if (event == nullptr || routine == nullptr || wait == 0) return ERROR_SUCCESS;
    ResetEvent(event);
    const DWORD error = ClearEndpointHalt(usb, device, routine, event,
                                          USB_SEND_TO_ENDPOINT | noWait, endpointIndex, wait);
    if (error != ERROR_SUCCESS) SetLastError(error);
    return error;
}

DWORD RecoverDefaultPipe(LPCUSB_FUNCS usb, USB_HANDLE device) {
    if (usb == nullptr || device == nullptr || usb->lpIsDefaultPipeHalted == nullptr)
        return ERROR_INVALID_PARAMETER;
    BOOL halted = FALSE;
    if (!usb->lpIsDefaultPipeHalted(device, &halted)) return GetLastError();
    if (halted && (usb->lpResetDefaultPipe == nullptr || !usb->lpResetDefaultPipe(device)))
        return ERROR_GEN_FAILURE;
    return ERROR_SUCCESS;
}

void ResetSensor(DeviceContext* context) {
    const USB_FUNCS& usb = context->usbFuncs;
    if (context->suspendSupported && usb.lpDisableDevice != nullptr)
        usb.lpDisableDevice(context->hDevice, TRUE,
                            context->usbInterface->Descriptor.bInterfaceNumber);
    else
        RecoverDefaultPipe(&usb, context->hDevice);
}

// The control codes that reach the sensor: pipe resets, vendor requests and descriptors. None
// takes a lock of the driver; the USB stack orders requests on the default pipe. Nothing is
// retried here and the sensor is never reset: only the default pipe is recovered.
#include <dermo.h>

#include "control_call.h"
#include "recovery.h"
#include "transfer.h"

namespace {

constexpr BYTE kVendorIn = USB_REQUEST_DEVICE_TO_HOST | USB_REQUEST_VENDOR | USB_REQUEST_FOR_DEVICE;
constexpr BYTE kVendorOut =
    USB_REQUEST_HOST_TO_DEVICE | USB_REQUEST_VENDOR | USB_REQUEST_FOR_DEVICE;
constexpr BYTE kVendorBlockRequest = 0x04;
constexpr BYTE kVendorSingleRequest = 0x0C;
constexpr DWORD kDescriptorInput = sizeof(SENSOR_DESCRIPTOR_REQUEST);
constexpr DWORD kSmallestDescriptorOutput = 4;
// The most a control transfer carries (its wLength). A longer read asks for this much rather
// than for the low 16 bits of its length, which would report a cut or empty result as success.
constexpr DWORD kLargestControlLength = 0xFFFF;

WORD ControlLength(DWORD length) {
    return static_cast<WORD>(length < kLargestControlLength ? length : kLargestControlLength);
}

// 0, or the error of one pipe's reset; a pipe that is not open is left alone.
DWORD ResetBulkPipe(const DeviceContext* device, const PipeState& pipe, bool abortFirst) {
    if (pipe.hPipe == nullptr) return ERROR_SUCCESS;
    const USB_FUNCS& usb = device->usbFuncs;
    if (abortFirst && usb.lpAbortPipeTransfers != nullptr) usb.lpAbortPipeTransfers(pipe.hPipe, 0);
    return ResetPipeIfHalted(&usb, pipe.hPipe) ? ERROR_SUCCESS : LastErrorOrGeneric();
}

DWORD VendorRequest(ControlCall& call, bool in) {
    if (const DWORD error = NeedInput(call, sizeof(SENSOR_VENDOR_REQUEST))) return error;
    SENSOR_VENDOR_REQUEST record;
    std::memcpy(&record, call.in, sizeof record);
    // The output buffer itself carries nothing: the data goes to the record's buffer.
    if (in && record.length < call.outLength) return ERROR_INSUFFICIENT_BUFFER;
    // Cut, a longer write would drop bytes.
    if (!in && record.length > kLargestControlLength) return ERROR_INVALID_PARAMETER;
    const WORD length = ControlLength(record.length);
    if (record.buffer == nullptr && length != 0) return ERROR_INVALID_PARAMETER;

    const USB_DEVICE_REQUEST setup{
        in ? kVendorIn : kVendorOut, record.length > 1 ? kVendorBlockRequest : kVendorSingleRequest,
        static_cast<WORD>(record.value), static_cast<WORD>(record.index), length};
    DeviceContext* device = call.device;
    DWORD bytes = 0;
    DWORD status = USB_NO_ERROR;
    const DWORD error = IssueVendorAndWait(&device->usbFuncs, device->hDevice, nullptr, nullptr,
                                           in ? USB_IN_TRANSFER : 0, &setup, record.buffer, 0,
                                           &bytes, LoadShared(call.open->controlTimeout), &status);
    if (error != ERROR_SUCCESS) {
        RecoverDefaultPipe(&device->usbFuncs, device->hDevice);
        return error;
    }
    call.produced = in ? bytes : 0;
    return ERROR_SUCCESS;
}

// The output a descriptor type needs at least, or 0 for a type the code does not read.
DWORD DescriptorMinimum(BYTE type) {
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            return sizeof(USB_DEVICE_DESCRIPTOR);
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            return sizeof(USB_CONFIGURATION_DESCRIPTOR);
        case USB_STRING_DESCRIPTOR_TYPE:
            return kSmallestDescriptorOutput;
        default:
            return 0;
    }
}

// GET_DESCRIPTOR into the output and its outcome; 0 with call.produced set, or the error.
DWORD FetchDescriptor(ControlCall& call, const SENSOR_DESCRIPTOR_REQUEST& request) {
    const USB_FUNCS& usb = call.device->usbFuncs;
    if (usb.lpGetDescriptor == nullptr || !CanAwaitTransfers(&usb)) return ERROR_NOT_SUPPORTED;
    const WORD language = request.type == USB_STRING_DESCRIPTOR_TYPE ? request.language : 0;
    const USB_TRANSFER transfer = usb.lpGetDescriptor(
        call.device->hDevice, nullptr, nullptr, USB_SHORT_TRANSFER_OK, request.type, request.index,
        language, ControlLength(call.outLength), call.out);
    if (transfer == nullptr) return LastErrorOrGeneric();
    DWORD bytes = 0;
    DWORD status = USB_NO_ERROR;
    DWORD error = ERROR_SUCCESS;
    if (!usb.lpGetTransferStatus(transfer, &bytes, &status))
        error = LastErrorOrGeneric();
    else if (status == USB_NO_ERROR || status == USB_DATA_UNDERRUN_ERROR)
        call.produced = bytes;
    else if (status == USB_DATA_OVERRUN_ERROR)
        error = ERROR_INSUFFICIENT_BUFFER;
    else
        error = ERROR_GEN_FAILURE;
    usb.lpCloseTransfer(transfer);
    return error;
}

}  // namespace

DWORD ResetBulkPipes(ControlCall& call, bool abortFirst) {
    if (const DWORD error = NeedInput(call, sizeof(DWORD))) return error;
    const DWORD selector = InputWord(call, 0);
    if (selector < PIPE_SELECT_IN || selector > PIPE_SELECT_BOTH) return ERROR_INVALID_PARAMETER;
    // With both selected the OUT pipe is reset even after the IN pipe failed.
    const DWORD inError = (selector & PIPE_SELECT_IN) != 0
                              ? ResetBulkPipe(call.device, call.device->bulkIn, abortFirst)
                              : ERROR_SUCCESS;
    const DWORD outError = (selector & PIPE_SELECT_OUT) != 0
                               ? ResetBulkPipe(call.device, call.device->bulkOut, abortFirst)
                               : ERROR_SUCCESS;
    return outError != ERROR_SUCCESS ? outError : inError;
}

DWORD VendorRead(ControlCall& call) {
    return VendorRequest(call, true);
}

DWORD VendorWrite(ControlCall& call) {
    return VendorRequest(call, false);
}

DWORD ReadDescriptor(ControlCall& call) {
    if (const DWORD error = NeedInput(call, kDescriptorInput)) return error;
    if (call.outLength < kSmallestDescriptorOutput) return ERROR_INSUFFICIENT_BUFFER;
    SENSOR_DESCRIPTOR_REQUEST request;
    std::memcpy(&request, call.in, sizeof request);
    const DWORD minimum = DescriptorMinimum(request.type);
    if (minimum == 0) return ERROR_INVALID_PARAMETER;
    if (const DWORD error = NeedOutput(call, minimum)) return error;
    const DWORD error = FetchDescriptor(call, request);
    if (error != ERROR_SUCCESS && error != ERROR_INSUFFICIENT_BUFFER)
        RecoverDefaultPipe(&call.device->usbFuncs, call.device->hDevice);
    return error;
}

// The 41 entries of USB_FUNCS. Each looks its handles up in the stack's tables, so a stale or
// foreign handle fails with ERROR_INVALID_HANDLE. The physical address arguments are ignored:
// this host has none, and transfers use the buffer's address.
#include "usb/usb_funcs.h"

#include <algorithm>
#include <cstring>

#include "usb/stack.h"

namespace ce::usb {
namespace {

using host::usb::TransferType;

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

template <class Handle>
Handle failNull(DWORD error) {
    SetLastError(error);
    return nullptr;
}

BYTE recipientOf(DWORD flags) {
    if (flags & USB_SEND_TO_ENDPOINT) return USB_REQUEST_FOR_ENDPOINT;
    if (flags & USB_SEND_TO_INTERFACE) return USB_REQUEST_FOR_INTERFACE;
    return USB_REQUEST_FOR_DEVICE;
}

// A transfer on the default pipe.
USB_TRANSFER issueControl(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                          DWORD flags, const USB_DEVICE_REQUEST& request, bool in, LPVOID buffer) {
    const auto device = findDevice(hDevice);
    if (!device) return nullptr;
    TransferSetup setup;
    setup.type = TransferType::Control;
    setup.in = in;
    setup.setup = request;
    setup.flags = in ? (flags | USB_IN_TRANSFER) : (flags & ~DWORD{USB_IN_TRANSFER});
    setup.routine = routine;
    setup.parameter = parameter;
    setup.buffer = buffer;
    setup.length = request.wLength;
    return device->issue(setup);
}

USB_DEVICE_REQUEST request(BYTE requestType, BYTE code, WORD value, WORD index, WORD length) {
    return USB_DEVICE_REQUEST{requestType, code, value, index, length};
}

USB_TRANSFER issueOnPipe(USB_PIPE hPipe, TransferType type, LPTRANSFER_NOTIFY_ROUTINE routine,
                         LPVOID parameter, DWORD flags, DWORD size, LPVOID buffer,
                         const USB_DEVICE_REQUEST* request = nullptr) {
    const auto pipe = findPipe(hPipe);
    if (!pipe) return nullptr;
    const BYTE address = pipe->descriptor.bEndpointAddress;
    const BYTE kind = pipe->descriptor.bmAttributes & USB_ENDPOINT_TYPE_MASK;
    const BYTE expected = type == TransferType::Bulk        ? USB_ENDPOINT_TYPE_BULK
                          : type == TransferType::Interrupt ? USB_ENDPOINT_TYPE_INTERRUPT
                                                            : USB_ENDPOINT_TYPE_CONTROL;
    const bool in = (flags & USB_IN_TRANSFER) != 0;
    // A data pipe has one direction; a transfer that asks for the other is the client's mistake.
    if (kind != expected ||
        (type != TransferType::Control && in != (USB_ENDPOINT_DIRECTION_IN(address) != 0)))
        return failNull<USB_TRANSFER>(ERROR_INVALID_PARAMETER);
    TransferSetup setup;
    setup.type = type;
    setup.pipe = pipe;
    setup.endpoint = address;
    setup.in = in;
    if (request) setup.setup = *request;
    setup.flags = flags;
    setup.routine = routine;
    setup.parameter = parameter;
    setup.buffer = buffer;
    setup.length = size;
    return pipe->device->issue(setup);
}

// ---- The entries, in table order ----

VOID getUsbdVersion(LPDWORD major, LPDWORD minor) {
    if (major) *major = USBDI_VERSION_MAJOR;
    if (minor) *minor = USBDI_VERSION_MINOR;
}

HKEY openClientRegistryKey(LPCWSTR id) {
    return OpenClientRegistryKey(id);
}

BOOL registerNotificationRoutine(USB_HANDLE hDevice, LPDEVICE_NOTIFY_ROUTINE routine,
                                 LPVOID parameter) {
    if (routine == nullptr) return fail(ERROR_INVALID_PARAMETER);
    const auto device = findDevice(hDevice);
    return device ? device->registerNotification(routine, parameter) : FALSE;
}

BOOL unRegisterNotificationRoutine(USB_HANDLE hDevice, LPDEVICE_NOTIFY_ROUTINE routine,
                                   LPVOID parameter) {
    const auto device = findDevice(hDevice);
    return device ? device->unregisterNotification(routine, parameter) : FALSE;
}

BOOL loadGenericInterfaceDriver(USB_HANDLE, LPCUSB_INTERFACE) {
    return fail(ERROR_NOT_SUPPORTED);
}

DWORD translateStringDescr(LPCUSB_STRING_DESCRIPTOR descriptor, LPWSTR text, DWORD capacity) {
    if (descriptor == nullptr || text == nullptr || capacity == 0 || descriptor->bLength < 2 ||
        descriptor->bDescriptorType != USB_STRING_DESCRIPTOR_TYPE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD count = std::min<DWORD>((descriptor->bLength - 2u) / 2u, capacity - 1);
    std::memcpy(text, descriptor->bString, count * sizeof(WCHAR));
    text[count] = 0;
    return count;
}

LPCUSB_INTERFACE findInterface(LPCUSB_DEVICE device, UCHAR number, UCHAR alternateSetting) {
    if (device == nullptr || device->lpActiveConfig == nullptr)
        return failNull<LPCUSB_INTERFACE>(ERROR_INVALID_PARAMETER);
    const USB_CONFIGURATION& active = *device->lpActiveConfig;
    for (DWORD i = 0; i < active.dwNumInterfaces; ++i) {
        const USB_INTERFACE& setting = active.lpInterfaces[i];
        if (setting.Descriptor.bInterfaceNumber == number &&
            setting.Descriptor.bAlternateSetting == alternateSetting)
            return &setting;
    }
    return failNull<LPCUSB_INTERFACE>(ERROR_NOT_FOUND);
}

BOOL getFrameNumber(USB_HANDLE, LPDWORD) {
    return fail(ERROR_NOT_SUPPORTED);
}

BOOL getFrameLength(USB_HANDLE, LPUSHORT) {
    return fail(ERROR_NOT_SUPPORTED);
}

BOOL takeFrameLengthControl(USB_HANDLE) {
    return fail(ERROR_NOT_SUPPORTED);
}

BOOL releaseFrameLengthControl(USB_HANDLE) {
    return fail(ERROR_NOT_SUPPORTED);
}

BOOL setFrameLength(USB_HANDLE, HANDLE, USHORT) {
    return fail(ERROR_NOT_SUPPORTED);
}

LPCUSB_DEVICE getDeviceInfo(USB_HANDLE hDevice) {
    const auto device = findDevice(hDevice);
    return device ? &device->view().device() : nullptr;
}

USB_TRANSFER issueVendorTransfer(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine,
                                 LPVOID parameter, DWORD flags, LPCUSB_DEVICE_REQUEST header,
                                 LPVOID buffer, ULONG) {
    if (header == nullptr) return failNull<USB_TRANSFER>(ERROR_INVALID_PARAMETER);
    return issueControl(hDevice, routine, parameter, flags, *header, flags & USB_IN_TRANSFER,
                        buffer);
}

USB_TRANSFER getInterface(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                          DWORD flags, UCHAR number, PUCHAR alternateSetting) {
    return issueControl(hDevice, routine, parameter, flags,
                        request(USB_REQUEST_DEVICE_TO_HOST | USB_REQUEST_FOR_INTERFACE,
                                USB_REQUEST_GET_INTERFACE, 0, number, 1),
                        true, alternateSetting);
}

USB_TRANSFER setInterface(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                          DWORD flags, UCHAR number, UCHAR alternateSetting) {
    return issueControl(
        hDevice, routine, parameter, flags,
        request(USB_REQUEST_FOR_INTERFACE, USB_REQUEST_SET_INTERFACE, alternateSetting, number, 0),
        false, nullptr);
}

USB_TRANSFER getDescriptor(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                           DWORD flags, UCHAR type, UCHAR index, WORD language, WORD length,
                           LPVOID buffer) {
    return issueControl(hDevice, routine, parameter, flags,
                        request(USB_REQUEST_DEVICE_TO_HOST, USB_REQUEST_GET_DESCRIPTOR,
                                static_cast<WORD>(type << 8 | index), language, length),
                        true, buffer);
}

USB_TRANSFER setDescriptor(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                           DWORD flags, UCHAR type, UCHAR index, WORD language, WORD length,
                           LPVOID buffer) {
    return issueControl(hDevice, routine, parameter, flags,
                        request(USB_REQUEST_HOST_TO_DEVICE, USB_REQUEST_SET_DESCRIPTOR,
                                static_cast<WORD>(type << 8 | index), language, length),
                        false, buffer);
}

USB_TRANSFER setFeature(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                        DWORD flags, WORD feature, UCHAR index) {
    return issueControl(hDevice, routine, parameter, flags,
                        request(recipientOf(flags), USB_REQUEST_SET_FEATURE, feature, index, 0),
                        false, nullptr);
}

USB_TRANSFER clearFeature(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                          DWORD flags, WORD feature, UCHAR index) {
    return issueControl(hDevice, routine, parameter, flags,
                        request(recipientOf(flags), USB_REQUEST_CLEAR_FEATURE, feature, index, 0),
                        false, nullptr);
}

USB_TRANSFER getStatus(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                       DWORD flags, UCHAR index, LPWORD status) {
    return issueControl(hDevice, routine, parameter, flags,
                        request(USB_REQUEST_DEVICE_TO_HOST | recipientOf(flags),
                                USB_REQUEST_GET_STATUS, 0, index, sizeof(WORD)),
                        true, status);
}

USB_TRANSFER syncFrame(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, UCHAR, WORD) {
    return failNull<USB_TRANSFER>(ERROR_NOT_SUPPORTED);
}

USB_PIPE openPipe(USB_HANDLE hDevice, LPCUSB_ENDPOINT_DESCRIPTOR endpoint) {
    if (endpoint == nullptr) return failNull<USB_PIPE>(ERROR_INVALID_PARAMETER);
    const auto device = findDevice(hDevice);
    return device ? device->openPipe(*endpoint) : nullptr;
}

BOOL abortPipeTransfers(USB_PIPE hPipe, DWORD) {
    const auto pipe = findPipe(hPipe);
    if (!pipe) return FALSE;
    pipe->device->abortPipe(*pipe);
    return TRUE;
}

BOOL resetPipe(USB_PIPE hPipe) {
    const auto pipe = findPipe(hPipe);
    if (!pipe) return FALSE;
    return pipe->device->resetPipe(*pipe) ? TRUE : FALSE;
}

BOOL closePipe(USB_PIPE hPipe) {
    const auto pipe = Stack::instance().pipes.erase(hPipe);
    if (!pipe) return fail(ERROR_INVALID_HANDLE);
    pipe->device->closePipe(pipe);
    return TRUE;
}

BOOL isPipeHalted(USB_PIPE hPipe, LPBOOL halted) {
    if (halted == nullptr) return fail(ERROR_INVALID_PARAMETER);
    const auto pipe = findPipe(hPipe);
    if (!pipe) return FALSE;
    *halted = pipe->device->isHalted(*pipe) ? TRUE : FALSE;
    return TRUE;
}

USB_TRANSFER issueControlTransfer(USB_PIPE hPipe, LPTRANSFER_NOTIFY_ROUTINE routine,
                                  LPVOID parameter, DWORD flags, LPCVOID header, DWORD size,
                                  LPVOID buffer, ULONG) {
    if (header == nullptr) return failNull<USB_TRANSFER>(ERROR_INVALID_PARAMETER);
    USB_DEVICE_REQUEST setup;
    std::memcpy(&setup, header, sizeof setup);
    return issueOnPipe(hPipe, TransferType::Control, routine, parameter, flags, size, buffer,
                       &setup);
}

USB_TRANSFER issueBulkTransfer(USB_PIPE hPipe, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                               DWORD flags, DWORD size, LPVOID buffer, ULONG) {
    return issueOnPipe(hPipe, TransferType::Bulk, routine, parameter, flags, size, buffer);
}

USB_TRANSFER issueInterruptTransfer(USB_PIPE hPipe, LPTRANSFER_NOTIFY_ROUTINE routine,
                                    LPVOID parameter, DWORD flags, DWORD size, LPVOID buffer,
                                    ULONG) {
    return issueOnPipe(hPipe, TransferType::Interrupt, routine, parameter, flags, size, buffer);
}

USB_TRANSFER issueIsochTransfer(USB_PIPE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, DWORD, DWORD,
                                LPCDWORD, LPVOID, ULONG) {
    return failNull<USB_TRANSFER>(ERROR_NOT_SUPPORTED);
}

BOOL isTransferComplete(USB_TRANSFER hTransfer) {
    const auto transfer = findTransfer(hTransfer);
    return transfer && transfer->device()->isDone(*transfer) ? TRUE : FALSE;
}

BOOL getTransferStatus(USB_TRANSFER hTransfer, LPDWORD bytesTransferred, LPDWORD usbError) {
    const auto transfer = findTransfer(hTransfer);
    if (!transfer) return FALSE;
    DWORD bytes = 0;
    DWORD error = 0;
    transfer->device()->status(*transfer, bytes, error);
    if (bytesTransferred) *bytesTransferred = bytes;
    if (usbError) *usbError = error;
    return TRUE;
}

BOOL getIsochResults(USB_TRANSFER, DWORD, LPDWORD, LPDWORD) {
    return fail(ERROR_NOT_SUPPORTED);
}

BOOL abortTransfer(USB_TRANSFER hTransfer, DWORD) {
    const auto transfer = findTransfer(hTransfer);
    if (!transfer) return FALSE;
    transfer->device()->abort(*transfer);
    return TRUE;
}

BOOL closeTransfer(USB_TRANSFER hTransfer) {
    const auto transfer = Stack::instance().transfers.erase(hTransfer);
    if (!transfer) return fail(ERROR_INVALID_HANDLE);
    transfer->device()->close(transfer);
    return TRUE;
}

BOOL resetDefaultPipe(USB_HANDLE hDevice) {
    const auto device = findDevice(hDevice);
    if (!device) return FALSE;
    return device->resetDefaultPipe() ? TRUE : FALSE;
}

BOOL isDefaultPipeHalted(USB_HANDLE hDevice, LPBOOL halted) {
    if (halted == nullptr) return fail(ERROR_INVALID_PARAMETER);
    const auto device = findDevice(hDevice);
    if (!device) return FALSE;
    *halted = device->isDefaultPipeHalted() ? TRUE : FALSE;
    return TRUE;
}

BOOL disableDevice(USB_HANDLE hDevice, BOOL reset, UCHAR interfaceNumber) {
    const auto device = findDevice(hDevice);
    return device ? device->disable(reset != FALSE, interfaceNumber) : FALSE;
}

BOOL suspendDevice(USB_HANDLE hDevice, UCHAR interfaceNumber) {
    const auto device = findDevice(hDevice);
    return device ? device->suspend(interfaceNumber) : FALSE;
}

BOOL resumeDevice(USB_HANDLE hDevice, UCHAR interfaceNumber) {
    const auto device = findDevice(hDevice);
    return device ? device->resume(interfaceNumber) : FALSE;
}

USB_FUNCS makeTable(host::usb::SuspendOffer offer) {
    const bool offered = offer == host::usb::SuspendOffer::Offered;
    return USB_FUNCS{
        offer == host::usb::SuspendOffer::ShortTable
            ? static_cast<DWORD>(offsetof(USB_FUNCS, lpSuspendDevice))
            : static_cast<DWORD>(sizeof(USB_FUNCS)),
        getUsbdVersion,
        openClientRegistryKey,
        registerNotificationRoutine,
        unRegisterNotificationRoutine,
        loadGenericInterfaceDriver,
        translateStringDescr,
        findInterface,
        getFrameNumber,
        getFrameLength,
        takeFrameLengthControl,
        releaseFrameLengthControl,
        setFrameLength,
        getDeviceInfo,
        issueVendorTransfer,
        getInterface,
        setInterface,
        getDescriptor,
        setDescriptor,
        setFeature,
        clearFeature,
        getStatus,
        syncFrame,
        openPipe,
        abortPipeTransfers,
        resetPipe,
        closePipe,
        isPipeHalted,
        issueControlTransfer,
        issueBulkTransfer,
        issueInterruptTransfer,
        issueIsochTransfer,
        isTransferComplete,
        getTransferStatus,
        getIsochResults,
        abortTransfer,
        closeTransfer,
        resetDefaultPipe,
        isDefaultPipeHalted,
        disableDevice,
        offered ? suspendDevice : nullptr,
        offered ? resumeDevice : nullptr,
    };
}

}  // namespace

const USB_FUNCS& functionTable(host::usb::SuspendOffer offer) {
    static const USB_FUNCS offered = makeTable(host::usb::SuspendOffer::Offered);
    static const USB_FUNCS nullEntries = makeTable(host::usb::SuspendOffer::NullEntries);
    static const USB_FUNCS shortTable = makeTable(host::usb::SuspendOffer::ShortTable);
    switch (offer) {
        case host::usb::SuspendOffer::NullEntries:
            return nullEntries;
        case host::usb::SuspendOffer::ShortTable:
            return shortTable;
        default:
            return offered;
    }
}

}  // namespace ce::usb

#include "attach.h"

#include <kfuncs.h>

#include <cstddef>
#include <cstring>

#include "exports.h"
#include "live_contexts.h"
#include "settings.h"

namespace {

constexpr BYTE kClassVendorSpecific = 0xFF;
constexpr BYTE kClassUnspecified = 0x00;
constexpr BYTE kSensorEndpointCount = 3;

// The copy of the stack's table never reads past what the stack's own size word covers, and
// never more than this driver's table holds; it takes whole entries only, and whatever is not
// covered stays null.
void CopyUsbFuncs(DeviceContext* context, LPCUSB_FUNCS funcs) {
    constexpr size_t kFirstEntry = offsetof(USB_FUNCS, lpGetUSBDVersion);
    constexpr size_t kEntrySize = sizeof funcs->lpGetUSBDVersion;
    size_t size = funcs->dwCount < sizeof(USB_FUNCS) ? funcs->dwCount : sizeof(USB_FUNCS);
    size = size < kFirstEntry ? 0 : kFirstEntry + (size - kFirstEntry) / kEntrySize * kEntrySize;
    std::memcpy(&context->usbFuncs, funcs, size);
    // Suspension needs the table to reach its last entry, ResumeDevice: the handheld's 168
    // bytes, here the host's size of the whole table.
    context->suspendSupported = funcs->dwCount >= sizeof(USB_FUNCS) &&
                                context->usbFuncs.lpSuspendDevice != nullptr &&
                                context->usbFuncs.lpResumeDevice != nullptr;
}

bool IsComplete(const PipeState& pipe) {
    return pipe.hPipe != nullptr && pipe.completionEvent != nullptr && pipe.lockInitialised;
}

// The pipe an endpoint feeds, or null for a kind the driver does not use.
PipeState* PipeFor(DeviceContext* context, const USB_ENDPOINT_DESCRIPTOR& endpoint) {
    const BYTE type = endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK;
    const bool in = (endpoint.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
    if (type == USB_ENDPOINT_TYPE_BULK) return in ? &context->bulkIn : &context->bulkOut;
    if (type == USB_ENDPOINT_TYPE_INTERRUPT && in) return &context->interruptIn;
    return nullptr;
}

bool OpenPipeState(DeviceContext* context, PipeState* pipe, const USB_ENDPOINT_DESCRIPTOR& endpoint,
                   DWORD maxTransferSize) {
    pipe->maxTransferSize = maxTransferSize;
    pipe->hPipe = context->usbFuncs.lpOpenPipe(context->hDevice, &endpoint);
    if (pipe->hPipe == nullptr) return false;
    pipe->completionEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pipe->completionEvent == nullptr) return false;
    pipe->endpoint = endpoint;
    InitializeCriticalSection(&pipe->lock);
    pipe->lockInitialised = TRUE;
    return true;
}

}  // namespace

LPCUSB_INTERFACE FindSensorInterface(DeviceContext* context, LPCUSB_INTERFACE offered) {
    const USB_FUNCS& usb = context->usbFuncs;
    if (usb.lpGetDeviceInfo == nullptr) return nullptr;
    LPCUSB_DEVICE device = usb.lpGetDeviceInfo(context->hDevice);
    if (device == nullptr) return nullptr;
    context->deviceDescriptor = device->Descriptor;

    LPCUSB_INTERFACE reference = offered;
    if (reference == nullptr && usb.lpFindInterface != nullptr)
        reference = usb.lpFindInterface(device, 0, 0);
    if (reference == nullptr || device->lpActiveConfig == nullptr) return nullptr;

    const USB_CONFIGURATION& config = *device->lpActiveConfig;
    for (DWORD i = 0; i < config.dwNumInterfaces; ++i) {
        const USB_INTERFACE& candidate = config.lpInterfaces[i];
        const USB_INTERFACE_DESCRIPTOR& d = candidate.Descriptor;
        if (d.bInterfaceNumber == reference->Descriptor.bInterfaceNumber &&
            (d.bInterfaceClass == kClassVendorSpecific || d.bInterfaceClass == kClassUnspecified) &&
            d.bNumEndpoints >= kSensorEndpointCount)
            return &candidate;
    }
    return nullptr;
}

BOOL ConfigureInterface(DeviceContext* context) {
    const USB_FUNCS& usb = context->usbFuncs;
    if (usb.lpSetInterface == nullptr || usb.lpOpenPipe == nullptr ||
        usb.lpCloseTransfer == nullptr)
        return FALSE;
    const USB_INTERFACE_DESCRIPTOR& chosen = context->usbInterface->Descriptor;
    USB_TRANSFER selection = usb.lpSetInterface(context->hDevice, nullptr, nullptr, 0,
                                                chosen.bInterfaceNumber, chosen.bAlternateSetting);
    if (selection == nullptr) return FALSE;

    SensorSettings settings{};
    SettingEntry table[kSettingsTableRows];
    FillSettingsTable(&settings, table);
    ReadSettings(DERMO_CLIENT_DRIVER_KEY, table);
    context->timeoutPerRequest = settings.timeoutPerRequest != 0;
    context->bulkRetryNumber = settings.bulkRetryNumber;
    context->detachPause = settings.detachPause;

    const DWORD endpoints =
        context->usbInterface->lpEndpoints != nullptr ? chosen.bNumEndpoints : 0;
    for (DWORD i = 0; i < endpoints; ++i) {
        const USB_ENDPOINT_DESCRIPTOR& endpoint = context->usbInterface->lpEndpoints[i].Descriptor;
        PipeState* pipe = PipeFor(context, endpoint);
        if (pipe == nullptr || pipe->hPipe != nullptr) continue;
        const DWORD size = pipe == &context->bulkIn    ? settings.maxBulkReadSize
                           : pipe == &context->bulkOut ? settings.maxBulkWriteSize
                                                       : settings.maxIntReadSize;
        if (!OpenPipeState(context, pipe, endpoint, size)) break;
    }
    usb.lpCloseTransfer(selection);
    return IsComplete(context->bulkIn) && IsComplete(context->bulkOut) &&
           IsComplete(context->interruptIn);
}

BOOL USBDeviceAttach(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs, LPCUSB_INTERFACE lpInterface,
                     LPCWSTR /*szUniqueDriverId*/, LPBOOL fAcceptControl,
                     LPCUSB_DRIVER_SETTINGS /*lpDriverSettings*/, DWORD /*dwUnused*/) {
    if (lpUsbFuncs == nullptr) return FALSE;
    DeviceContext* context = AllocateDeviceContext();
    if (context == nullptr) return FALSE;
    CopyUsbFuncs(context, lpUsbFuncs);
    context->hDevice = hDevice;

    const USB_FUNCS& usb = context->usbFuncs;
    context->idleEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    if (context->idleEvent != nullptr &&
        (context->usbInterface = FindSensorInterface(context, lpInterface)) != nullptr &&
        ConfigureInterface(context) &&
        (context->activeDevice = ActivateDevice(DERMO_CLIENT_DRIVER_KEY, context->clientId)) !=
            nullptr &&
        usb.lpRegisterNotificationRoutine != nullptr &&
        usb.lpRegisterNotificationRoutine(hDevice, DeviceNotify, context)) {
        if (fAcceptControl != nullptr) {
            *fAcceptControl = TRUE;
            return TRUE;
        }
        // Not accepted: the stack must never call the routine with a context that is gone.
        if (usb.lpUnRegisterNotificationRoutine != nullptr)
            usb.lpUnRegisterNotificationRoutine(hDevice, DeviceNotify, context);
    }
    FreeDeviceContext(context);
    return FALSE;
}

BOOL CALLBACK DeviceNotify(LPVOID lpvNotifyParameter, DWORD dwCode, LPDWORD* /*dwInfo1*/,
                           LPDWORD* /*dwInfo2*/, LPDWORD* /*dwInfo3*/, LPDWORD* /*dwInfo4*/) {
    if (dwCode != USB_CLOSE_DEVICE) return FALSE;
    DeviceContext* context = AcquireDevice(reinterpret_cast<DWORD_PTR>(lpvNotifyParameter));
    if (context == nullptr) return TRUE;
    bool first = false;
    {
        // Under the lock that DRX_Open holds across its own check: from here on no open gets
        // in. A second close notification finds detached set and leaves the teardown to the
        // first.
        const ScopedLock lock(context->stateLock);
        first = !IsDetached(context);
        MarkDetached(context);
    }
    if (first) {
        WaitForSingleObject(context->idleEvent, INFINITE);
        Sleep(context->detachPause);
        FreeDeviceContext(context);
    }
    ReleaseDevice(context);
    return TRUE;
}

// A bare USB client for the bulk benchmark's baseline: it takes the device it is loaded for and
// opens its first bulk IN pipe, so that the benchmark can issue transfers on the stack directly,
// the way the driver does but without the driver.
#include "bulk_client.h"

#include <usbdi.h>

namespace {

BulkClient attached{};

}  // namespace

extern "C" __attribute__((visibility("default"))) BOOL USBDeviceAttach(
    USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs, LPCUSB_INTERFACE, LPCWSTR, LPBOOL fAcceptControl,
    LPCUSB_DRIVER_SETTINGS, DWORD) {
    LPCUSB_DEVICE device = lpUsbFuncs->lpGetDeviceInfo(hDevice);
    const USB_INTERFACE& interface = device->lpActiveConfig->lpInterfaces[0];
    for (DWORD i = 0; i < interface.Descriptor.bNumEndpoints; ++i) {
        const USB_ENDPOINT_DESCRIPTOR& endpoint = interface.lpEndpoints[i].Descriptor;
        if ((endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK &&
            USB_ENDPOINT_DIRECTION_IN(endpoint.bEndpointAddress)) {
            attached = {lpUsbFuncs, hDevice, lpUsbFuncs->lpOpenPipe(hDevice, &endpoint)};
            *fAcceptControl = TRUE;
            return TRUE;
        }
    }
    return FALSE;
}

extern "C" __attribute__((visibility("default"))) const BulkClient* BulkClientAttached() {
    return attached.bulkIn != nullptr ? &attached : nullptr;
}

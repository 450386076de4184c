#include "fake_usb.h"

FakeUsb fakeUsb;

namespace {

LPCUSB_DEVICE GetDeviceInfo(USB_HANDLE) {
    return &fakeUsb.device;
}

LPCUSB_INTERFACE FindInterface(LPCUSB_DEVICE, UCHAR number, UCHAR alternate) {
    for (const USB_INTERFACE& i : fakeUsb.interfaces)
        if (i.Descriptor.bInterfaceNumber == number && i.Descriptor.bAlternateSetting == alternate)
            return &i;
    return nullptr;
}

USB_TRANSFER SetInterface(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, UCHAR number,
                          UCHAR alternate) {
    ++fakeUsb.setInterfaceCalls;
    fakeUsb.selectedInterface = number;
    fakeUsb.selectedAlternate = alternate;
    ++fakeUsb.openTransfers;
    return reinterpret_cast<USB_TRANSFER>(0x2000);
}

BOOL CloseTransfer(USB_TRANSFER) {
    --fakeUsb.openTransfers;
    return TRUE;
}

USB_PIPE OpenPipe(USB_HANDLE, LPCUSB_ENDPOINT_DESCRIPTOR endpoint) {
    if (fakeUsb.failOpenPipe) return nullptr;
    fakeUsb.openedEndpoints.push_back(endpoint->bEndpointAddress);
    ++fakeUsb.openPipes;
    return reinterpret_cast<USB_PIPE>(0x3000 + fakeUsb.openedEndpoints.size());
}

BOOL ClosePipe(USB_PIPE) {
    --fakeUsb.openPipes;
    return TRUE;
}

BOOL RegisterNotification(USB_HANDLE, LPDEVICE_NOTIFY_ROUTINE routine, LPVOID parameter) {
    fakeUsb.notifyRoutine = routine;
    fakeUsb.notifyParameter = parameter;
    return TRUE;
}

BOOL UnRegisterNotification(USB_HANDLE, LPDEVICE_NOTIFY_ROUTINE routine, LPVOID parameter) {
    ++fakeUsb.unregisterCalls;
    if (routine == fakeUsb.notifyRoutine && parameter == fakeUsb.notifyParameter) {
        fakeUsb.notifyRoutine = nullptr;
        fakeUsb.notifyParameter = nullptr;
    }
    return TRUE;
}

BOOL SuspendDevice(USB_HANDLE, UCHAR) {
    ++fakeUsb.suspendCalls;
    return TRUE;
}

BOOL ResumeDevice(USB_HANDLE, UCHAR) {
    ++fakeUsb.resumeCalls;
    return TRUE;
}

}  // namespace

void FakeUsb::reset(const sim::SensorProfile& profile) {
    *this = FakeUsb{};
    for (const sim::SensorInterface& setting : profile.interfaces) {
        std::vector<USB_ENDPOINT> list;
        for (const sim::SensorEndpoint& e : setting.endpoints) {
            USB_ENDPOINT endpoint{};
            endpoint.dwCount = sizeof endpoint;
            endpoint.Descriptor = {
                7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.type, e.maxPacketSize, e.interval};
            list.push_back(endpoint);
        }
        endpoints.push_back(std::move(list));
    }
    for (std::size_t i = 0; i < profile.interfaces.size(); ++i) {
        const sim::SensorInterface& setting = profile.interfaces[i];
        USB_INTERFACE interface {};
        interface.dwCount = sizeof interface;
        interface.Descriptor = {9,
                                USB_INTERFACE_DESCRIPTOR_TYPE,
                                setting.number,
                                setting.alternateSetting,
                                static_cast<UCHAR>(setting.endpoints.size()),
                                setting.interfaceClass,
                                setting.interfaceSubClass,
                                setting.interfaceProtocol,
                                0};
        interface.lpEndpoints = endpoints[i].data();
        interfaces.push_back(interface);
    }
    config.dwCount = sizeof config;
    config.dwNumInterfaces = static_cast<DWORD>(interfaces.size());
    config.lpInterfaces = interfaces.data();
    device.dwCount = sizeof device;
    device.Descriptor.bLength = 18;
    device.Descriptor.idVendor = profile.vendorId;
    device.Descriptor.idProduct = profile.productId;
    device.Descriptor.bcdDevice = profile.release;
    device.lpConfigs = &config;
    device.lpActiveConfig = &config;

    funcs.dwCount = sizeof funcs;
    funcs.lpGetDeviceInfo = GetDeviceInfo;
    funcs.lpFindInterface = FindInterface;
    funcs.lpSetInterface = SetInterface;
    funcs.lpCloseTransfer = CloseTransfer;
    funcs.lpOpenPipe = OpenPipe;
    funcs.lpClosePipe = ClosePipe;
    funcs.lpRegisterNotificationRoutine = RegisterNotification;
    funcs.lpUnRegisterNotificationRoutine = UnRegisterNotification;
    funcs.lpSuspendDevice = SuspendDevice;
    funcs.lpResumeDevice = ResumeDevice;
}

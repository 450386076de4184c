// The defaults of a device model, and the small builders of descriptors.
#include <host/usb.h>

namespace host::usb {

bool DeviceModel::control(const RequestPtr&) {
    return false;
}

void DeviceModel::transfer(const RequestPtr& request) {
    request->fail(USB_STALL_ERROR);
}

void DeviceModel::cancel(const RequestPtr&) {}

bool DeviceModel::resetPipe(BYTE) {
    return true;
}

bool DeviceModel::suspend(BYTE) {
    return true;
}

bool DeviceModel::resume(BYTE) {
    return true;
}

bool DeviceModel::disable(bool, BYTE) {
    return true;
}

Endpoint endpoint(BYTE address, BYTE type, WORD maxPacketSize, BYTE interval) {
    Endpoint e;
    e.descriptor.bEndpointAddress = address;
    e.descriptor.bmAttributes = type & USB_ENDPOINT_TYPE_MASK;
    e.descriptor.wMaxPacketSize = maxPacketSize;
    e.descriptor.bInterval = interval;
    return e;
}

Endpoint bulkIn(BYTE number, WORD maxPacketSize) {
    return endpoint(static_cast<BYTE>(USB_ENDPOINT_DIRECTION_MASK | number), USB_ENDPOINT_TYPE_BULK,
                    maxPacketSize);
}

Endpoint bulkOut(BYTE number, WORD maxPacketSize) {
    return endpoint(number, USB_ENDPOINT_TYPE_BULK, maxPacketSize);
}

Endpoint interruptIn(BYTE number, WORD maxPacketSize, BYTE interval) {
    return endpoint(static_cast<BYTE>(USB_ENDPOINT_DIRECTION_MASK | number),
                    USB_ENDPOINT_TYPE_INTERRUPT, maxPacketSize, interval);
}

Interface interfaceSetting(BYTE number, BYTE alternateSetting, BYTE interfaceClass,
                           std::vector<Endpoint> endpoints) {
    Interface i;
    i.descriptor.bInterfaceNumber = number;
    i.descriptor.bAlternateSetting = alternateSetting;
    i.descriptor.bInterfaceClass = interfaceClass;
    i.endpoints = std::move(endpoints);
    return i;
}

Descriptors device(WORD vendorId, WORD productId, WORD release, std::vector<Interface> interfaces) {
    Descriptors d;
    d.device.bcdUSB = 0x0200;
    d.device.bMaxPacketSize0 = 64;
    d.device.idVendor = vendorId;
    d.device.idProduct = productId;
    d.device.bcdDevice = release;
    Configuration configuration;
    configuration.descriptor.bConfigurationValue = 1;
    configuration.descriptor.bmAttributes = 0x80;
    configuration.descriptor.MaxPower = 50;
    configuration.interfaces = std::move(interfaces);
    d.configurations.push_back(std::move(configuration));
    return d;
}

}  // namespace host::usb

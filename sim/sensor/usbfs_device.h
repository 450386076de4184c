// A device model behind an emulated usbdevfs node: umockdev's testbed holds the node and its
// sysfs record (built from the model's descriptors), and this adapter answers the usbdevfs
// ioctls that libusb issues on it the way the kernel's usbfs would for a real device. URBs
// become Requests for the model, so the simulated sensor and its profiles drive libusb
// unchanged.
//
// Threads. umockdev calls the handler on a thread of its own; the model completes Requests on
// whatever thread it likes. A completed URB waits in a queue until libusb reaps it. The model is
// never called with the adapter's lock held.
#pragma once

#include <host/usb.h>

#include <cstddef>
#include <memory>
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace sim {

class UsbfsDevice {
  public:
    explicit UsbfsDevice(std::shared_ptr<host::usb::DeviceModel> model);
    // Detaches the handler; the testbed keeps the node.
    ~UsbfsDevice();
    UsbfsDevice(const UsbfsDevice&) = delete;
    UsbfsDevice& operator=(const UsbfsDevice&) = delete;

    // Adds the device as /dev/bus/usb/BUS/001 with its sysfs record. The ioctl handler is
    // attached before the device appears, so that a libusb that sees it arrive can open it.
    bool add(UMockdevTestbed* testbed, unsigned bus, std::string& error);
    // The device leaves the bus: URBs in flight end as the kernel ends them on a disconnect
    // (-ESHUTDOWN, reapable), later submissions fail with ENODEV, and a remove uevent follows.
    void remove();

    // URBs submitted and not yet reaped.
    std::size_t urbsInFlight() const;

    // What the handler and the URBs share (usbfs_device.cpp).
    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace sim

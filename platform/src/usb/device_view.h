// The stack's picture of one device, built once from its model's descriptors: the USB_DEVICE
// tree that GetDeviceInfo hands to clients, and the descriptors as the device sends them.
#pragma once

#include <host/usb.h>

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace ce::usb {

class DeviceView {
  public:
    // Null if the descriptors cannot describe a device: no configuration, more than 255
    // configurations, interface settings or string descriptors, more than 30 endpoints in one
    // setting, an endpoint numbered 0, or a configuration longer than 65535 bytes.
    static std::unique_ptr<DeviceView> build(host::usb::Descriptors descriptors);

    DeviceView(const DeviceView&) = delete;
    DeviceView& operator=(const DeviceView&) = delete;

    const USB_DEVICE& device() const { return device_; }
    const USB_CONFIGURATION& activeConfiguration() const { return configurations_.front(); }

    // The interface setting in the active configuration, or null.
    const USB_INTERFACE* findInterface(BYTE number, BYTE alternateSetting) const;
    // The endpoint with this address in the active configuration, or null: in the interface's
    // current setting (interface number to setting; 0 when absent) if it is there, else in any.
    const USB_ENDPOINT_DESCRIPTOR* findEndpoint(BYTE address,
                                                const std::map<BYTE, BYTE>& current) const;

    // GET_DESCRIPTOR's answer: the whole descriptor, or nothing if there is none.
    std::optional<std::vector<BYTE>> descriptor(BYTE type, BYTE index) const;

  private:
    DeviceView() = default;

    host::usb::Descriptors source_;  // lpvExtended points into its lists
    USB_DEVICE device_{};
    std::vector<USB_CONFIGURATION> configurations_;
    std::vector<std::vector<USB_INTERFACE>> interfaces_;             // per configuration
    std::vector<std::vector<std::vector<USB_ENDPOINT>>> endpoints_;  // per configuration, setting
    std::vector<std::vector<BYTE>> configurationBytes_;
};

}  // namespace ce::usb

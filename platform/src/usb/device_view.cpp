#include "usb/device_view.h"

#include <cstring>
#include <set>

namespace ce::usb {
namespace {

constexpr std::size_t kMaxEndpoints = 30;
constexpr std::size_t kMaxCount = 255;
constexpr std::size_t kMaxStringUnits = (255 - 2) / 2;

template <class T>
void append(std::vector<BYTE>& out, const T& record) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&record);
    out.insert(out.end(), bytes, bytes + sizeof record);
}

void append(std::vector<BYTE>& out, const std::vector<BYTE>& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

const void* extendedOrNull(const std::vector<BYTE>& bytes) {
    return bytes.empty() ? nullptr : bytes.data();
}

bool usable(const host::usb::Descriptors& d) {
    if (d.configurations.empty() || d.configurations.size() > kMaxCount ||
        d.strings.size() > kMaxCount - 1)
        return false;
    for (const auto& configuration : d.configurations) {
        if (configuration.interfaces.size() > kMaxCount) return false;
        for (const auto& setting : configuration.interfaces) {
            if (setting.endpoints.size() > kMaxEndpoints) return false;
            for (const auto& e : setting.endpoints)
                if ((e.descriptor.bEndpointAddress & USB_ENDPOINT_ADDRESS_MASK) == 0) return false;
        }
    }
    return true;
}

// Sets the length, type and count fields from the lists.
void normalise(host::usb::Descriptors& d) {
    d.device.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    d.device.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.device.bNumConfigurations = static_cast<UCHAR>(d.configurations.size());
    for (auto& configuration : d.configurations) {
        std::set<BYTE> numbers;
        for (auto& setting : configuration.interfaces) {
            setting.descriptor.bLength = sizeof(USB_INTERFACE_DESCRIPTOR);
            setting.descriptor.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
            setting.descriptor.bNumEndpoints = static_cast<UCHAR>(setting.endpoints.size());
            numbers.insert(setting.descriptor.bInterfaceNumber);
            for (auto& e : setting.endpoints) {
                e.descriptor.bLength = sizeof(USB_ENDPOINT_DESCRIPTOR);
                e.descriptor.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
            }
        }
        configuration.descriptor.bLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
        configuration.descriptor.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
        configuration.descriptor.bNumInterfaces = static_cast<UCHAR>(numbers.size());
    }
    for (auto& s : d.strings)
        if (s.size() > kMaxStringUnits) s.resize(kMaxStringUnits);
}

std::optional<std::vector<BYTE>> wireBytes(host::usb::Configuration& configuration) {
    std::vector<BYTE> bytes;
    append(bytes, configuration.descriptor);
    append(bytes, configuration.extended);
    for (const auto& setting : configuration.interfaces) {
        append(bytes, setting.descriptor);
        append(bytes, setting.extended);
        for (const auto& e : setting.endpoints) {
            append(bytes, e.descriptor);
            append(bytes, e.extended);
        }
    }
    if (bytes.size() > 0xFFFF) return std::nullopt;
    const auto total = static_cast<USHORT>(bytes.size());
    configuration.descriptor.wTotalLength = total;
    std::memcpy(bytes.data() + offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength), &total,
                sizeof total);
    return bytes;
}

std::vector<BYTE> stringDescriptor(std::u16string_view text) {
    std::vector<BYTE> bytes{static_cast<BYTE>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    return bytes;
}

}  // namespace

std::unique_ptr<DeviceView> DeviceView::build(host::usb::Descriptors descriptors) {
    if (!usable(descriptors)) return nullptr;
    normalise(descriptors);
    std::unique_ptr<DeviceView> view(new DeviceView);
    view->source_ = std::move(descriptors);
    auto& source = view->source_;
    for (auto& configuration : source.configurations) {
        auto bytes = wireBytes(configuration);
        if (!bytes) return nullptr;
        view->configurationBytes_.push_back(std::move(*bytes));
    }

    // Sized first, so that the pointers taken below stay valid.
    const std::size_t count = source.configurations.size();
    view->interfaces_.resize(count);
    view->endpoints_.resize(count);
    for (std::size_t c = 0; c < count; ++c) {
        const auto& configuration = source.configurations[c];
        view->endpoints_[c].resize(configuration.interfaces.size());
        for (std::size_t i = 0; i < configuration.interfaces.size(); ++i) {
            const auto& setting = configuration.interfaces[i];
            for (const auto& e : setting.endpoints)
                view->endpoints_[c][i].push_back(
                    USB_ENDPOINT{sizeof(USB_ENDPOINT), e.descriptor, extendedOrNull(e.extended)});
            view->interfaces_[c].push_back(USB_INTERFACE{sizeof(USB_INTERFACE), setting.descriptor,
                                                         extendedOrNull(setting.extended),
                                                         view->endpoints_[c][i].data()});
        }
        view->configurations_.push_back(USB_CONFIGURATION{
            sizeof(USB_CONFIGURATION), configuration.descriptor,
            extendedOrNull(configuration.extended), static_cast<DWORD>(view->interfaces_[c].size()),
            view->interfaces_[c].data()});
    }
    view->device_ = USB_DEVICE{sizeof(USB_DEVICE), source.device, view->configurations_.data(),
                               view->configurations_.data()};
    return view;
}

const USB_INTERFACE* DeviceView::findInterface(BYTE number, BYTE alternateSetting) const {
    const USB_CONFIGURATION& active = activeConfiguration();
    for (DWORD i = 0; i < active.dwNumInterfaces; ++i) {
        const USB_INTERFACE& setting = active.lpInterfaces[i];
        if (setting.Descriptor.bInterfaceNumber == number &&
            setting.Descriptor.bAlternateSetting == alternateSetting)
            return &setting;
    }
    return nullptr;
}

const USB_ENDPOINT_DESCRIPTOR* DeviceView::findEndpoint(BYTE address,
                                                        const std::map<BYTE, BYTE>& current) const {
    const USB_CONFIGURATION& active = activeConfiguration();
    const auto isCurrent = [&](const USB_INTERFACE_DESCRIPTOR& d) {
        const auto it = current.find(d.bInterfaceNumber);
        return d.bAlternateSetting == (it == current.end() ? 0 : it->second);
    };
    const USB_ENDPOINT_DESCRIPTOR* found = nullptr;
    for (DWORD i = 0; i < active.dwNumInterfaces; ++i) {
        const USB_INTERFACE& setting = active.lpInterfaces[i];
        for (BYTE e = 0; e < setting.Descriptor.bNumEndpoints; ++e) {
            const USB_ENDPOINT_DESCRIPTOR& d = setting.lpEndpoints[e].Descriptor;
            if (d.bEndpointAddress != address) continue;
            if (isCurrent(setting.Descriptor)) return &d;
            if (found == nullptr) found = &d;
        }
    }
    return found;
}

std::optional<std::vector<BYTE>> DeviceView::descriptor(BYTE type, BYTE index) const {
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE: {
            if (index != 0) return std::nullopt;
            std::vector<BYTE> bytes;
            append(bytes, source_.device);
            return bytes;
        }
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            if (index >= configurationBytes_.size()) return std::nullopt;
            return configurationBytes_[index];
        case USB_STRING_DESCRIPTOR_TYPE:
            if (index == 0) return stringDescriptor(u"\u0409");
            if (index > source_.strings.size()) return std::nullopt;
            return stringDescriptor(source_.strings[index - 1]);
        default:
            return std::nullopt;
    }
}

}  // namespace ce::usb

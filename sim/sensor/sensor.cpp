#include "sensor/sensor.h"

#include <algorithm>

namespace sim {
namespace {

// Bytes held for bulk IN at most: a write beyond it is refused with a stall.
constexpr std::size_t kLoopbackCapacity = 1 << 20;

}  // namespace

Sensor::Sensor(SensorProfile profile) : profile_(std::move(profile)) {}

host::usb::Descriptors Sensor::descriptors() {
    std::vector<host::usb::Interface> interfaces;
    for (const SensorInterface& setting : profile_.interfaces) {
        std::vector<host::usb::Endpoint> endpoints;
        for (const SensorEndpoint& e : setting.endpoints)
            endpoints.push_back(
                host::usb::endpoint(e.address, e.type, e.maxPacketSize, e.interval));
        host::usb::Interface interface = host::usb::interfaceSetting(
            setting.number, setting.alternateSetting, setting.interfaceClass, std::move(endpoints));
        interface.descriptor.bInterfaceSubClass = setting.interfaceSubClass;
        interface.descriptor.bInterfaceProtocol = setting.interfaceProtocol;
        interfaces.push_back(std::move(interface));
    }
    return host::usb::device(profile_.vendorId, profile_.productId, profile_.release,
                             std::move(interfaces));
}

bool Sensor::control(const host::usb::RequestPtr& request) {
    const USB_DEVICE_REQUEST& setup = request->setup();
    if ((setup.bmRequestType & 0x60) == USB_REQUEST_STANDARD &&
        setup.bRequest == USB_REQUEST_SET_INTERFACE)
        alternateSetting_ = setup.wValue;
    return false;  // the stack answers the standard requests from the descriptors
}

void Sensor::transfer(const host::usb::RequestPtr& request) {
    if (request->type() != host::usb::TransferType::Bulk) {
        request->fail(USB_STALL_ERROR);
        return;
    }
    std::lock_guard guard(lock_);
    if (request->isIn()) {
        pendingReads_.push_back(request);
    } else {
        const auto data = request->outData();
        if (loopback_.size() + data.size() > kLoopbackCapacity) {
            request->fail(USB_STALL_ERROR);
            return;
        }
        loopback_.insert(loopback_.end(), data.begin(), data.end());
        request->accept(static_cast<DWORD>(data.size()));
    }
    serveReadsLocked();
}

void Sensor::serveReadsLocked() {
    while (!pendingReads_.empty() && !loopback_.empty()) {
        const host::usb::RequestPtr read = pendingReads_.front();
        pendingReads_.pop_front();
        if (!read->pending()) continue;
        const std::size_t size = std::min<std::size_t>(read->length(), loopback_.size());
        const std::vector<BYTE> data(loopback_.begin(), loopback_.begin() + size);
        if (read->reply(data)) loopback_.erase(loopback_.begin(), loopback_.begin() + size);
    }
}

bool Sensor::suspend(BYTE) {
    ++suspends_;
    suspended_ = true;
    return true;
}

bool Sensor::resume(BYTE) {
    ++resumes_;
    suspended_ = false;
    return true;
}

void Sensor::unplugged() {
    std::lock_guard guard(lock_);
    pendingReads_.clear();
}

}  // namespace sim

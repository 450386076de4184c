#include "test_device.h"

#include <chrono>

#include "test_client.h"

host::usb::Descriptors TestDevice::standardDescriptors() {
    using namespace host::usb;
    std::vector<Endpoint> endpoints{bulkIn(1, 64), bulkOut(2, 64), interruptIn(3, 8)};
    auto alternate = endpoints;
    alternate[0].descriptor.wMaxPacketSize = 512;
    Descriptors d =
        device(kTestVendor, kTestProduct, 0x0100,
               {interfaceSetting(0, 0, 0xFF, endpoints), interfaceSetting(0, 1, 0xFF, alternate)});
    d.strings = {u"Test maker", u"Test device"};
    d.device.iManufacturer = 1;
    d.device.iProduct = 2;
    return d;
}

bool TestDevice::control(const host::usb::RequestPtr& request) {
    if ((request->setup().bmRequestType & USB_REQUEST_RESERVED) == USB_REQUEST_STANDARD) {
        std::lock_guard guard(lock_);
        standard_.push_back(request->setup());
        return false;
    }
    transfer(request);
    return true;
}

void TestDevice::transfer(const host::usb::RequestPtr& request) {
    if (autoReply) {
        if (request->isIn())
            request->reply(replyData, USB_NO_ERROR);
        else
            request->accept(request->length(), USB_NO_ERROR);
        return;
    }
    std::lock_guard guard(lock_);
    queue_.push_back(request);
    arrived_.notify_all();
}

bool TestDevice::suspend(BYTE interfaceNumber) {
    std::lock_guard guard(lock_);
    power_.emplace_back('s', interfaceNumber);
    return powerResult;
}

bool TestDevice::resume(BYTE interfaceNumber) {
    std::lock_guard guard(lock_);
    power_.emplace_back('r', interfaceNumber);
    return powerResult;
}

bool TestDevice::disable(bool, BYTE interfaceNumber) {
    std::lock_guard guard(lock_);
    power_.emplace_back('d', interfaceNumber);
    return powerResult;
}

void TestDevice::cancel(const host::usb::RequestPtr& request) {
    std::lock_guard guard(lock_);
    cancelled_.push_back(request);
}

bool TestDevice::resetPipe(BYTE endpoint) {
    std::lock_guard guard(lock_);
    pipeResets_.push_back(endpoint);
    return resetPipeResult;
}

std::vector<host::usb::RequestPtr> TestDevice::cancelled() {
    std::lock_guard guard(lock_);
    return cancelled_;
}

std::vector<BYTE> TestDevice::pipeResets() {
    std::lock_guard guard(lock_);
    return pipeResets_;
}

host::usb::RequestPtr TestDevice::nextRequest(unsigned timeoutMs) {
    std::unique_lock lock(lock_);
    if (!arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return !queue_.empty(); }))
        return nullptr;
    auto request = queue_.front();
    queue_.pop_front();
    return request;
}

std::vector<USB_DEVICE_REQUEST> TestDevice::standardRequests() {
    std::lock_guard guard(lock_);
    return standard_;
}

std::vector<std::pair<char, BYTE>> TestDevice::powerCalls() {
    std::lock_guard guard(lock_);
    return power_;
}

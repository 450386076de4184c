#include "usb/stack.h"

namespace ce::usb {
namespace {

template <class Table>
auto findOrFail(Table& table, const void* handle) {
    auto object = table.find(handle);
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace

Stack& Stack::instance() {
    static auto* stack = new Stack;
    return *stack;
}

host::usb::DeviceId Stack::reserveId() {
    std::lock_guard guard(lock_);
    return nextId_++;
}

bool Stack::wasIssued(host::usb::DeviceId id) {
    std::lock_guard guard(lock_);
    return id != 0 && id < nextId_;
}

void Stack::add(const std::shared_ptr<Device>& device) {
    std::lock_guard guard(lock_);
    byId_[device->id()] = device;
}

std::shared_ptr<Device> Stack::byId(host::usb::DeviceId id) {
    std::lock_guard guard(lock_);
    const auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
}

void Stack::remove(host::usb::DeviceId id) {
    std::lock_guard guard(lock_);
    byId_.erase(id);
}

std::size_t Stack::deviceCount() {
    std::lock_guard guard(lock_);
    return byId_.size();
}

std::shared_ptr<Device> findDevice(USB_HANDLE handle) {
    return findOrFail(Stack::instance().devices, handle);
}

std::shared_ptr<Pipe> findPipe(USB_PIPE handle) {
    return findOrFail(Stack::instance().pipes, handle);
}

std::shared_ptr<Transfer> findTransfer(USB_TRANSFER handle) {
    return findOrFail(Stack::instance().transfers, handle);
}

}  // namespace ce::usb

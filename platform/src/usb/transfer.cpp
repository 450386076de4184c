#include "usb/transfer.h"

#include <algorithm>

#include "usb/device.h"

namespace ce::usb {
namespace {

std::vector<BYTE> copyOutData(const TransferSetup& setup) {
    if (setup.in || setup.length == 0) return {};
    const auto* data = static_cast<const BYTE*>(setup.buffer);
    return {data, data + setup.length};
}

}  // namespace

Transfer::Transfer(std::shared_ptr<Device> device, const TransferSetup& setup)
    : buffer(setup.in ? static_cast<BYTE*>(setup.buffer) : nullptr),
      device_(std::move(device)),
      setup_(setup),
      outData_(copyOutData(setup)) {}

bool Transfer::reply(std::span<const BYTE> data, DWORD usbError) {
    if (!isIn())
        return accept(static_cast<DWORD>(std::min<std::size_t>(data.size(), length())), usbError);
    return device_->completeIn(*this, data, usbError);
}

bool Transfer::accept(DWORD bytes, DWORD usbError) {
    if (isIn()) return device_->completeIn(*this, {}, usbError);
    return device_->completeOut(*this, bytes, usbError);
}

bool Transfer::fail(DWORD usbError) {
    return isIn() ? device_->completeIn(*this, {}, usbError)
                  : device_->completeOut(*this, 0, usbError);
}

bool Transfer::pending() const {
    return !device_->isDone(*this);
}

}  // namespace ce::usb

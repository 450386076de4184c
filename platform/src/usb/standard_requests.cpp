// How a conforming device answers the standard requests a model leaves to the stack.
#include <array>

#include "usb/device.h"

namespace ce::usb {
namespace {

constexpr BYTE kIn = USB_REQUEST_DEVICE_TO_HOST;

}  // namespace

void Device::answerStandardRequest(Transfer& transfer) {
    const USB_DEVICE_REQUEST& r = transfer.setup();
    const BYTE recipient = r.bmRequestType & 0x1F;
    if ((r.bmRequestType & USB_REQUEST_RESERVED) != USB_REQUEST_STANDARD) {
        transfer.fail(USB_STALL_ERROR);
        return;
    }
    const BYTE configurationValue = view_->activeConfiguration().Descriptor.bConfigurationValue;
    switch (r.bRequest) {
        case USB_REQUEST_GET_DESCRIPTOR: {
            const auto bytes = view_->descriptor(static_cast<BYTE>(r.wValue >> 8),
                                                 static_cast<BYTE>(r.wValue & 0xFF));
            if (!bytes || !(r.bmRequestType & kIn)) break;
            // A device sends no more than the request asks for.
            const std::size_t size = std::min<std::size_t>(bytes->size(), r.wLength);
            transfer.reply(std::span(bytes->data(), size), USB_NO_ERROR);
            return;
        }
        case USB_REQUEST_GET_STATUS: {
            const std::array<BYTE, 2> status{0, 0};
            transfer.reply(status, USB_NO_ERROR);
            return;
        }
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE:
            transfer.accept(0, USB_NO_ERROR);
            return;
        case USB_REQUEST_GET_CONFIGURATION:
            transfer.reply(std::span(&configurationValue, 1), USB_NO_ERROR);
            return;
        case USB_REQUEST_SET_CONFIGURATION:
            if (r.wValue != configurationValue) break;
            transfer.accept(0, USB_NO_ERROR);
            return;
        case USB_REQUEST_GET_INTERFACE: {
            if (recipient != USB_REQUEST_FOR_INTERFACE) break;
            const BYTE setting = currentAlternateSetting(static_cast<BYTE>(r.wIndex));
            transfer.reply(std::span(&setting, 1), USB_NO_ERROR);
            return;
        }
        case USB_REQUEST_SET_INTERFACE:
            if (recipient != USB_REQUEST_FOR_INTERFACE ||
                view_->findInterface(static_cast<BYTE>(r.wIndex), static_cast<BYTE>(r.wValue)) ==
                    nullptr)
                break;
            transfer.accept(0, USB_NO_ERROR);
            return;
        default:
            break;
    }
    transfer.fail(USB_STALL_ERROR);
}

}  // namespace ce::usb

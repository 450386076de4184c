// The USB_FUNCS tables the stack hands to its clients.
#pragma once

#include <host/usb.h>

namespace ce::usb {

// One table per way of offering suspend; static, so it outlives every client.
const USB_FUNCS& functionTable(host::usb::SuspendOffer offer);

}  // namespace ce::usb

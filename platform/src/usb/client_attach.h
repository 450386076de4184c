// Finding, loading and attaching the client driver of a newly plugged device.
#pragma once

#include <string>

#include "usb/device.h"

namespace ce::usb {

// Tries the registered clients in order (see plug() in <host/usb.h>) and returns the one that
// took the device, or one with attached clear. Runs on the device's control thread.
Client attachClient(Device& device);

// Loads a client library by its "DLL" value through the device manager's loader; null, with the
// last error set, if it cannot be loaded.
void* openClientLibrary(const std::u16string& dllName);

}  // namespace ce::usb

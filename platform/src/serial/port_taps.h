// The taps attached to COM numbers, and the live COM devices they reach (host::serial::attachTap).
#pragma once

#include <host/serial.h>

#include <memory>

namespace ce::serial {

class ComDevice;

// A device of the number comes up: it is told of the tap now and of every later change, until
// it withdraws. Returns the tap attached at this moment (null for none).
std::shared_ptr<host::serial::PortTap> enrolForTap(unsigned comNumber,
                                                   std::weak_ptr<ComDevice> device);
void withdrawFromTap(unsigned comNumber, const ComDevice* device);

}  // namespace ce::serial

// The COM ports listed under HKEY_LOCAL_MACHINE\Drivers\Active, read the way the library reads
// them, so that the peripheral's new port is new to the library too, whatever a registry file
// has put there.
#pragma once

#include <vector>

namespace sim {

// The numbers of the "COMn:" names of the Active entries, in no particular order.
std::vector<unsigned> activeComNumbers();

}  // namespace sim

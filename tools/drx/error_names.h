// Names of the Windows error numbers the driver and the platform report.
#pragma once

#include <cstdint>
#include <string>

namespace drx_tool {

// "ERROR_ACCESS_DENIED" for 5; "ERROR_5000" for a number without a name here.
std::string errorName(std::uint32_t error);

}  // namespace drx_tool

#pragma once

#include <string_view>

namespace kest_tool {

// "KEST_STATE_READY" for 4, and so on for the device states 1 to 13; "UNKNOWN" for any other
// value.
std::string_view stateName(int state);

}  // namespace kest_tool

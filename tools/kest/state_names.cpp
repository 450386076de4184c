#include "state_names.h"

#include <algorithm>
#include <array>

#include "kest.h"

namespace kest_tool {
namespace {

struct NamedState {
    int value;
    std::string_view name;
};

// Spelled once: the name is the constant's own.
#define KEST_TOOL_STATE(constant) \
    NamedState {                  \
        constant, #constant       \
    }

constexpr std::array kStates{
    KEST_TOOL_STATE(KEST_STATE_CLOSED),       KEST_TOOL_STATE(KEST_STATE_POWERED),
    KEST_TOOL_STATE(KEST_STATE_POWERING_OFF), KEST_TOOL_STATE(KEST_STATE_READY),
    KEST_TOOL_STATE(KEST_STATE_POWERED_OFF),  KEST_TOOL_STATE(KEST_STATE_VERSION_PENDING),
    KEST_TOOL_STATE(KEST_STATE_DOWNLOADING),  KEST_TOOL_STATE(KEST_STATE_ACTIVATING_1),
    KEST_TOOL_STATE(KEST_STATE_ENABLED_1),    KEST_TOOL_STATE(KEST_STATE_ACTIVATING_2),
    KEST_TOOL_STATE(KEST_STATE_ENABLED_2),    KEST_TOOL_STATE(KEST_STATE_ACTIVATING_3),
    KEST_TOOL_STATE(KEST_STATE_ENABLED_3),
};

#undef KEST_TOOL_STATE

}  // namespace

std::string_view stateName(int state) {
    const auto it = std::find_if(kStates.begin(), kStates.end(),
                                 [&](const NamedState& s) { return s.value == state; });
    return it == kStates.end() ? "UNKNOWN" : it->name;
}

}  // namespace kest_tool

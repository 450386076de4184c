#pragma once

#include "commands.h"

namespace kest_tool {

// Opens the peripheral, shows that it is ready and closes it again. 0 when every step did what
// it should; otherwise 1, with the failed step named on standard error.
int runDemo(CommandContext& context);

}  // namespace kest_tool

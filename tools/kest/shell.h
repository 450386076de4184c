#pragma once

#include <istream>

#include "commands.h"

namespace kest_tool {

// Reads commands from `in` until its end or `quit`, and returns the exit code: 0 when every
// command succeeded as a script expects, 1 when one did not, 2 when a line could not be run.
// Lines that cannot be run are reported on standard error and skipped.
int runShell(std::istream& in, bool interactive, CommandContext& context);

}  // namespace kest_tool

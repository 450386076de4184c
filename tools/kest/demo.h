#pragma once

#include "commands.h"

namespace kest_tool {

// The library's main job from start to end: opens the peripheral with the version and the
// download requested, shows the version, the download's progress and the file it created (with
// its host path), enables function 1, disables it and closes. 0 when every step did what it
// should; otherwise 1, with the failed step named on standard error. `terminal`: the progress
// is drawn as a bar.
int runDemo(CommandContext& context, bool terminal);

}  // namespace kest_tool

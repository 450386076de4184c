// A host tty as the line of a COM device.
#pragma once

#include <memory>
#include <string>

#include "serial/line.h"

namespace ce::serial {

// Opens `path` anew for every open handle: O_NOCTTY and O_NONBLOCK, raw mode (cfmakeraw,
// VMIN = 0, VTIME = 0), so that every byte passes unchanged and every wait is a poll().
std::shared_ptr<Line> createTtyLine(const std::string& path);

}  // namespace ce::serial

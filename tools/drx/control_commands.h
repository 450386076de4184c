// The shell's commands on an open handle: reads, writes, every control code by its name in
// <dermo.h>, and the capture of a fingerprint into a PNG file.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "outcome.h"

namespace drx_tool {

using Arguments = std::vector<std::string>;

// read H N: bytes=K data=HEX (the first 32 bytes)
Outcome readCommand(HANDLE handle, const Arguments& arguments);
// write H HEX: bytes=K
Outcome writeCommand(HANDLE handle, const Arguments& arguments);
// ioctl H NAME ARGS...: NAME is a control code's name or a number (sent without buffers).
Outcome ioctlCommand(HANDLE handle, const Arguments& arguments);
// capture H FILE.png: width=W height=H bytes=N file=FILE
Outcome captureCommand(HANDLE handle, const Arguments& arguments);

// The names ioctl knows, for messages.
std::vector<std::string> controlCodeNames();

}  // namespace drx_tool

// The shell's commands that act on the host around the library rather than on its exports: the
// power manager's notifications and the simulated peripheral.
#pragma once

#include <span>
#include <string>

#include "commands.h"

namespace kest_tool {

// suspend, resume, cradle in|out: one POWER_BROADCAST record to every registered queue; the
// code is 0 when at least one queue took it. Shows queues=N.
CommandResult suspendCommand(std::span<const std::string> arguments, CommandContext& context);
CommandResult resumeCommand(std::span<const std::string> arguments, CommandContext& context);
CommandResult cradleCommand(std::span<const std::string> arguments, CommandContext& context);

// peripheral fault NAME [ARG] | peripheral fault none | peripheral send HEX... | peripheral log
CommandResult peripheralCommand(std::span<const std::string> arguments, CommandContext& context);

// The faults `peripheral fault` knows, one a line, as help text.
std::string faultHelp();

}  // namespace kest_tool

// The shell's commands: one table entry each, with the arguments it takes, what it calls, and
// which return codes count as success for a script.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "console.h"

namespace sim {
class Peripheral;
}

namespace kest_tool {

// What commands may reach besides the library's exports.
struct CommandContext {
    sim::Peripheral* peripheral = nullptr;  // null with --no-peripheral
    std::string root = ".";                 // the host directory of the handheld's files
    std::uint64_t downloadMark = 0;         // the status texts before the latest open or download
};

struct CommandResult {
    int code = 0;
    std::vector<Field> fields;
};

// A command line that cannot be run as written (a bad argument).
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Command {
    std::string_view name;
    std::string_view arguments;  // as the help shows them: "V D T", "[S]"
    std::string_view summary;
    std::size_t minArguments;
    std::size_t maxArguments;
    CommandResult (*run)(std::span<const std::string> arguments, CommandContext& context);
    // Whether a script that issues the command is satisfied with this code.
    bool (*succeeded)(int code);
    bool endsScript = false;
};

std::span<const Command> commands();
const Command* findCommand(std::string_view name);

// The command table as help text, one command a line.
std::string commandHelp();

}  // namespace kest_tool

// Runs one command line of the shell or the demo: looks the command up in the table, checks its
// arguments, calls it and prints its result line.
#pragma once

#include <string>
#include <string_view>

#include "commands.h"

namespace kest_tool {

struct LineOutcome {
    enum class Kind {
        Blank,       // nothing but spaces or a comment
        Succeeded,   // the result is what a script expects
        Unexpected,  // the command ran; its result is not what a script expects
        Invalid,     // not run: unknown command or bad arguments (see reason)
    };
    Kind kind = Kind::Blank;
    bool endsScript = false;
    std::string reason;
};

// `#` starts a comment; words are separated by spaces or tabs.
LineOutcome runLine(std::string_view line, CommandContext& context);

// The exit code for the worst outcome so far: 0 all succeeded, 1 a result was unexpected,
// 2 a line could not be run.
int exitCodeFor(LineOutcome::Kind kind);

}  // namespace kest_tool

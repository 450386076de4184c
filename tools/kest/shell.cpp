#include "shell.h"

#include <algorithm>
#include <iostream>
#include <string>

#include "line_reader.h"
#include "script.h"

namespace kest_tool {

int runShell(std::istream& in, bool interactive, CommandContext& context) {
    int exitCode = 0;
    std::size_t lineNumber = 0;
    tool_text::LineReader reader(in, interactive, "kest> ");
    while (const std::optional<std::string> line = reader.next()) {
        ++lineNumber;
        const LineOutcome outcome = runLine(*line, context);
        if (outcome.kind == LineOutcome::Kind::Invalid) {
            std::cerr << "kest: line " << lineNumber << ": " << outcome.reason << std::endl;
            Console::instance().refused(lineNumber, outcome.reason);
        }
        exitCode = std::max(exitCode, exitCodeFor(outcome.kind));
        if (outcome.endsScript) break;
    }
    return exitCode;
}

}  // namespace kest_tool

#include "shell.h"

#include <algorithm>
#include <iostream>
#include <string>

#include "script.h"

namespace kest_tool {

int runShell(std::istream& in, bool interactive, CommandContext& context) {
    int exitCode = 0;
    std::size_t lineNumber = 0;
    std::string line;
    for (;;) {
        if (interactive) Console::instance().prompt();
        if (!std::getline(in, line)) break;
        ++lineNumber;
        const LineOutcome outcome = runLine(line, context);
        if (outcome.kind == LineOutcome::Kind::Invalid)
            std::cerr << "kest: line " << lineNumber << ": " << outcome.reason << std::endl;
        exitCode = std::max(exitCode, exitCodeFor(outcome.kind));
        if (outcome.endsScript) break;
    }
    return exitCode;
}

}  // namespace kest_tool

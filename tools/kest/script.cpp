#include "script.h"

#include <sstream>
#include <vector>

#include "shown_text.h"

namespace kest_tool {
namespace {

std::vector<std::string> words(std::string_view line) {
    line = line.substr(0, line.find('#'));
    std::vector<std::string> out;
    std::istringstream in{std::string(line)};
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

LineOutcome invalid(std::string reason) {
    return {LineOutcome::Kind::Invalid, false, std::move(reason)};
}

}  // namespace

LineOutcome runLine(std::string_view line, CommandContext& context) {
    const std::vector<std::string> w = words(line);
    if (w.empty()) return {};
    const Command* command = findCommand(w[0]);
    if (command == nullptr) return invalid("unknown command '" + tool_text::excerpt(w[0]) + "'");
    const std::span<const std::string> arguments(w.begin() + 1, w.end());
    if (arguments.size() < command->minArguments || arguments.size() > command->maxArguments) {
        std::string usage(command->name);
        if (!command->arguments.empty()) usage += " " + std::string(command->arguments);
        return invalid("usage: " + usage);
    }
    CommandResult result;
    try {
        result = command->run(arguments, context);
    } catch (const UsageError& e) {
        return invalid(std::string(command->name) + ": " + e.what());
    }
    Console::instance().result(command->name, result.code, result.fields);
    const auto kind = command->succeeded(result.code) ? LineOutcome::Kind::Succeeded
                                                      : LineOutcome::Kind::Unexpected;
    return {kind, command->endsScript, {}};
}

int exitCodeFor(LineOutcome::Kind kind) {
    switch (kind) {
        case LineOutcome::Kind::Unexpected:
            return 1;
        case LineOutcome::Kind::Invalid:
            return 2;
        default:
            return 0;
    }
}

}  // namespace kest_tool

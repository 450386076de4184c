#include "console.h"

#include <iostream>
#include <nlohmann/json.hpp>

#include "checked_output.h"
#include "shown_text.h"

namespace drx_tool {
namespace {

using Json = nlohmann::ordered_json;

tool_output::CheckedStream& standardOutput() {
    static tool_output::CheckedStream out(std::cout);
    return out;
}

// A text value goes in quotes when it holds a blank, a quote or a backslash, so that key=value
// pairs stay separable.
std::string textValue(const std::string& value) {
    if (value.find_first_of(" \"\\\t") == std::string::npos && !value.empty())
        return tool_text::shown(value);
    return tool_text::quoted(value);
}

}  // namespace

void printResult(Format format, std::string_view command, std::int64_t code,
                 const std::vector<Field>& fields) {
    if (format == Format::Json) {
        Json object{{"event", "result"}, {"command", tool_text::forJson(command)}, {"code", code}};
        for (const Field& field : fields) {
            if (const auto* number = std::get_if<std::int64_t>(&field.value))
                object[field.key] = *number;
            else
                object[field.key] = tool_text::forJson(std::get<std::string>(field.value));
        }
        standardOutput().write(object.dump() + "\n");
        return;
    }
    std::string line = "result: " + tool_text::shown(command) + " " + std::to_string(code);
    for (const Field& field : fields) {
        line += " " + field.key + "=";
        if (const auto* number = std::get_if<std::int64_t>(&field.value))
            line += std::to_string(*number);
        else
            line += textValue(std::get<std::string>(field.value));
    }
    standardOutput().write(line + "\n");
}

void printHelp(Format format, std::string_view text) {
    if (format == Format::Json)
        standardOutput().write(Json{{"event", "help"}, {"text", text}}.dump() + "\n");
    else
        standardOutput().write(text);
}

std::string outputFailure() {
    return standardOutput().failure();
}

}  // namespace drx_tool

// What drx prints on standard output: one line per command result, as text or as one JSON
// object per line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace drx_tool {

enum class Format { Text, Json };

struct Field {
    std::string key;
    std::variant<std::int64_t, std::string> value;
};

// result: COMMAND CODE key=value ...   or   {"event":"result","command":...,"code":...,...}
void printResult(Format format, std::string_view command, std::int64_t code,
                 const std::vector<Field>& fields);

// Lines of help text as they are, or {"event":"help","text":...}.
void printHelp(Format format, std::string_view text);

// Why standard output could not be written; empty while every line was.
std::string outputFailure();

}  // namespace drx_tool

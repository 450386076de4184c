// What a shell command produced: 0 or the error, and the fields of its result line; with the
// parsing helpers the commands share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "console.h"

namespace drx_tool {

struct Outcome {
    std::int64_t code = 0;
    std::vector<Field> fields;
    bool invalid = false;  // the command line could not be carried out as written
};

// The result of a failed call: the error by number and name (0 counts as ERROR_GEN_FAILURE).
Outcome failure(std::uint32_t error, std::vector<Field> fields = {});
// A command line that cannot be carried out as written.
Outcome usage(const std::string& message);

// 0 to 0xFFFFFFFF, written as both tools write numbers (tools/common/number.h).
std::optional<std::uint32_t> parseNumber(const std::string& text);
// Pairs of hex digits ("0A1b"); nullopt for an odd count or another character.
std::optional<std::vector<std::uint8_t>> parseHex(const std::string& text);
std::string toHex(const std::uint8_t* data, std::size_t size);
// "0x1A2B"
std::string hex4(unsigned value);

}  // namespace drx_tool

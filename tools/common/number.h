// The one number syntax of both tools' commands and options: decimal, or hexadecimal after 0x
// (0X), either with a leading minus sign: 16, 0x10, -1. Nothing else: no plus sign, no blanks,
// no octal (010 is ten).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tool_text {

// nullopt for anything else, or a value beyond 64 bits.
std::optional<std::int64_t> parseNumber(std::string_view text);

}  // namespace tool_text

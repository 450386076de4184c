#include "outcome.h"

#include <windows.h>

#include <cstdio>

#include "error_names.h"
#include "number.h"

namespace drx_tool {

Outcome failure(std::uint32_t error, std::vector<Field> fields) {
    if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
    fields.insert(fields.begin(), Field{"error", errorName(error)});
    return {error, std::move(fields)};
}

Outcome usage(const std::string& message) {
    Outcome outcome = failure(ERROR_INVALID_PARAMETER, {{"message", message}});
    outcome.invalid = true;
    return outcome;
}

std::optional<std::uint32_t> parseNumber(const std::string& text) {
    const std::optional<std::int64_t> value = tool_text::parseNumber(text);
    if (!value || *value < 0 || *value > 0xFFFFFFFF) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

std::optional<std::vector<std::uint8_t>> parseHex(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const auto byte = parseNumber("0x" + text.substr(i, 2));
        if (!byte) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(*byte));
    }
    return bytes;
}

std::string toHex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0xF]);
    }
    return text;
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
    return text;
}

}  // namespace drx_tool

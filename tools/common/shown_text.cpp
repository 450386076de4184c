#include "shown_text.h"

#include <cstdio>

namespace tool_text {
namespace {

constexpr std::size_t kExcerptLength = 200;

// The length of the valid UTF-8 sequence that starts text[at], or 0 when the byte there does
// not start one (overlong forms, surrogates and code points above U+10FFFF are not valid).
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned next = byte(at + i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

bool isControl(std::string_view sequence) {
    const auto lead = static_cast<unsigned char>(sequence[0]);
    if (sequence.size() == 1) return lead < 0x20 || lead == 0x7F;
    // U+0080 to U+009F: C2 80 to C2 9F.
    return sequence.size() == 2 && lead == 0xC2 && static_cast<unsigned char>(sequence[1]) < 0xA0;
}

void appendHex(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
        out += hex;
    }
}

// Walks the text sequence by sequence; `controls` says whether control characters are escaped
// (text lines) or left to the JSON writer.
std::string rewritten(std::string_view text, bool controls) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequenceLength(text, at);
        const std::string_view sequence = text.substr(at, length == 0 ? 1 : length);
        if (length == 0 || (controls && isControl(sequence)))
            appendHex(out, sequence);
        else
            out += sequence;
        at += sequence.size();
    }
    return out;
}

}  // namespace

std::string shown(std::string_view text) {
    return rewritten(text, true);
}

// The quotes and backslashes of the text itself are escaped first, so that a \xNN inside the
// quotes is always an escaped byte.
std::string quoted(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '"' || c == '\\') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return "\"" + shown(escaped) + "\"";
}

std::string forJson(std::string_view text) {
    return rewritten(text, false);
}

std::string excerpt(std::string_view text) {
    if (text.size() <= kExcerptLength) return shown(text);
    return shown(text.substr(0, kExcerptLength)) + "...";
}

}  // namespace tool_text

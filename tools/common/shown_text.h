// How kest and drx show text that comes from outside the tool (the library, a device, an input
// line) on a terminal and in JSON, so that no control byte reaches a terminal raw and JSON output
// is always valid UTF-8.
//
// Both tools show a text as it is, UTF-8 included, except for:
//   - control bytes (0x00-0x1F, 0x7F) and the C1 control characters (U+0080-U+009F): in text
//     lines they appear as \xNN, one per byte; in JSON they are escaped as JSON escapes them;
//   - bytes that are not part of a valid UTF-8 sequence: as the four characters \xNN, in text
//     lines and in JSON alike (in JSON the backslash is escaped: "\\xFF").
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tool_text {

// For a text line.
std::string shown(std::string_view text);
// shown(), in double quotes, with " and \ escaped by a backslash: key="value".
std::string quoted(std::string_view text);
// For a JSON string: valid UTF-8 with nothing lost but the bytes that are not UTF-8.
std::string forJson(std::string_view text);
// At most the first 200 bytes of an input line or word, shown(), with "..." when cut: what an
// error message quotes of an offending input.
std::string excerpt(std::string_view text);

}  // namespace tool_text

// Conversions between the host's UTF-8 text and the platform's UTF-16 wide text, and the
// case rules of the handheld's names (registry keys and values, device names).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace ce::text {

std::u16string toWide(std::string_view utf8);
std::string toUtf8(std::u16string_view wide);

// Length of a NUL-terminated wide string; 0 for null.
std::size_t wideLength(const WCHAR* s);
std::u16string_view wideView(const WCHAR* s);

// Simple case folding, as the handheld compares names: the Latin letters of the first 0x250
// code points (Basic Latin, Latin-1, Latin Extended-A and -B) fold to their capitals and so
// compare without case; other code units compare as they are. The dotted and dotless i
// (U+0130, U+0131) and the long s (U+017F), whose partners are the plain I and S, keep their own
// forms, so that names spelled in ASCII never match them.
char16_t foldCase(char16_t c);
bool equalsIgnoreCase(std::u16string_view a, std::u16string_view b);
int compareIgnoreCase(std::u16string_view a, std::u16string_view b);

}  // namespace ce::text

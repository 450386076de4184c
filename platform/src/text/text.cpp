#include "text/text.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ce::text {

namespace {

constexpr char16_t kReplacement = u'\uFFFD';

// The bytes that may follow a lead byte in well-formed UTF-8: the first continuation's range
// excludes the over-long forms, the surrogates (ED A0..BF) and everything above U+10FFFF
// (F4 90..BF); later continuations are 80..BF. A lead byte outside every range (80..C1,
// F5..FF) starts no sequence.
struct Sequence {
    int length;
    unsigned char firstMin;
    unsigned char firstMax;
};

constexpr Sequence sequenceOf(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace

// Decodes well-formed UTF-8 only. Whatever is not (a stray byte, a truncated sequence, an
// over-long form such as C0 AE for ".", a surrogate, a code point above U+10FFFF) becomes one
// U+FFFD for each maximal part of a sequence, and decoding resumes at the byte that broke it:
// no ill-formed input ever reads as another character, be it a separator or a terminator.
std::u16string toWide(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i++]);
        if (lead < 0x80) {
            out.push_back(lead);
            continue;
        }
        const Sequence sequence = sequenceOf(lead);
        char32_t cp = lead & (0x7F >> sequence.length);
        int taken = 1;
        for (; taken < sequence.length && i < utf8.size(); ++taken, ++i) {
            const auto next = static_cast<unsigned char>(utf8[i]);
            const unsigned char min = taken == 1 ? sequence.firstMin : 0x80;
            const unsigned char max = taken == 1 ? sequence.firstMax : 0xBF;
            if (next < min || next > max) break;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (sequence.length == 0 || taken < sequence.length) {
            out.push_back(kReplacement);
        } else if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string toUtf8(std::u16string_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t cp = wide[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::size_t wideLength(const WCHAR* s) {
    if (s == nullptr) return 0;
    std::size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

std::u16string_view wideView(const WCHAR* s) { return {s, wideLength(s)}; }

namespace {

// Runs of capital and small letters side by side: from first to last, the capital has the
// parity of first and its small letter follows it.
struct PairRun {
    char16_t first, last;
};
constexpr PairRun kPairRuns[] = {
    {0x100, 0x12F}, {0x132, 0x137}, {0x139, 0x148}, {0x14A, 0x177}, {0x179, 0x17E},
    {0x182, 0x185}, {0x187, 0x188}, {0x18B, 0x18C}, {0x191, 0x192}, {0x198, 0x199},
    {0x1A0, 0x1A5}, {0x1A7, 0x1A8}, {0x1AC, 0x1AD}, {0x1AF, 0x1B0}, {0x1B3, 0x1B6},
    {0x1B8, 0x1B9}, {0x1BC, 0x1BD}, {0x1CD, 0x1DC}, {0x1DE, 0x1EF}, {0x1F4, 0x1F5},
    {0x1F8, 0x21F}, {0x222, 0x233}, {0x23B, 0x23C}, {0x241, 0x242}, {0x246, 0x24F},
};
// Small letters whose capital lies elsewhere, and the small and title forms of the digraphs
// DŽ, LJ, NJ and DZ.
constexpr std::pair<char16_t, char16_t> kCapitals[] = {
    {0xFF, 0x178},  {0x180, 0x243}, {0x195, 0x1F6},  {0x19A, 0x23D},  {0x19E, 0x220},
    {0x1BF, 0x1F7}, {0x1DD, 0x18E}, {0x23F, 0x2C7E}, {0x240, 0x2C7F}, {0x1C5, 0x1C4},
    {0x1C6, 0x1C4}, {0x1C8, 0x1C7}, {0x1C9, 0x1C7},  {0x1CB, 0x1CA},  {0x1CC, 0x1CA},
    {0x1F2, 0x1F1}, {0x1F3, 0x1F1},
};

}  // namespace

char16_t foldCase(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    if (c < 0xFF || c >= 0x250) return c;
    for (const auto& [small, capital] : kCapitals)
        if (c == small) return capital;
    for (const PairRun& run : kPairRuns)
        if (c >= run.first && c <= run.last && (c - run.first) % 2 == 1)
            return static_cast<char16_t>(c - 1);
    return c;
}

int compareIgnoreCase(std::u16string_view a, std::u16string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t x = foldCase(a[i]);
        const char16_t y = foldCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool equalsIgnoreCase(std::u16string_view a, std::u16string_view b) {
    return compareIgnoreCase(a, b) == 0;
}

}  // namespace ce::text

// The core library's conversions. The platform's code page for narrow text is UTF-8 on this
// host, so CP_ACP and CP_UTF8 behave the same.
extern "C" int WINAPI MultiByteToWideChar(UINT, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar) {
    if (lpMultiByteStr == nullptr || cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::size_t inLen =
        cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    const std::u16string wide = ce::text::toWide({lpMultiByteStr, inLen});
    if (cchWideChar == 0) return static_cast<int>(wide.size());
    if (wide.size() > static_cast<std::size_t>(cchWideChar)) {
        std::copy_n(wide.begin(), cchWideChar, lpWideCharStr);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(wide.begin(), wide.end(), lpWideCharStr);
    return static_cast<int>(wide.size());
}

extern "C" int WINAPI WideCharToMultiByte(UINT, DWORD, LPCWSTR lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR,
                                          LPBOOL lpUsedDefaultChar) {
    if (lpWideCharStr == nullptr || cbMultiByte < 0 || (cbMultiByte > 0 && !lpMultiByteStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    const std::size_t inLen = cchWideChar < 0 ? ce::text::wideLength(lpWideCharStr) + 1
                                              : static_cast<std::size_t>(cchWideChar);
    const std::string narrow = ce::text::toUtf8({lpWideCharStr, inLen});
    if (cbMultiByte == 0) return static_cast<int>(narrow.size());
    if (narrow.size() > static_cast<std::size_t>(cbMultiByte)) {
        std::copy_n(narrow.begin(), cbMultiByte, lpMultiByteStr);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(narrow.begin(), narrow.end(), lpMultiByteStr);
    return static_cast<int>(narrow.size());
}

extern "C" int WINAPI lstrlenW(LPCWSTR lpString) {
    return static_cast<int>(ce::text::wideLength(lpString));
}

extern "C" int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    return ce::text::compareIgnoreCase(ce::text::wideView(a), ce::text::wideView(b));
}

extern "C" LPWSTR WINAPI lstrcpynW(LPWSTR dst, LPCWSTR src, int iMaxLength) {
    if (dst == nullptr || iMaxLength <= 0) return dst;
    int i = 0;
    for (; src != nullptr && i < iMaxLength - 1 && src[i] != 0; ++i) dst[i] = src[i];
    dst[i] = 0;
    return dst;
}

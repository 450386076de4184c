#include <cstdio>

#include "registry/reg_file.h"
#include "text/text.h"

namespace ce::registry {
namespace {

// Hex data is wrapped the way exported files usually are, so that long values stay readable.
constexpr std::size_t kHexLineWidth = 76;

void appendQuoted(std::u16string_view s, std::string& out) {
    out.push_back('"');
    for (const char c : text::toUtf8(s)) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

// A REG_SZ is written as a quoted string only when reading that string back gives the same
// bytes: one terminator at the end, no line breaks, and well-formed UTF-16.
bool asPlainString(const Value& value, std::u16string& s) {
    const std::vector<BYTE>& d = value.data;
    if (value.type != REG_SZ || d.size() < 2 || d.size() % 2 != 0) return false;
    s.clear();
    for (std::size_t i = 0; i + 2 < d.size(); i += 2)
        s.push_back(static_cast<char16_t>(d[i] | d[i + 1] << 8));
    if (d[d.size() - 2] != 0 || d[d.size() - 1] != 0) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c == 0 || c == u'\r' || c == u'\n') return false;
        if (c >= 0xD800 && c < 0xDC00) {
            if (i + 1 == s.size() || s[i + 1] < 0xDC00 || s[i + 1] >= 0xE000) return false;
            ++i;
        } else if (c >= 0xDC00 && c < 0xE000) {
            return false;
        }
    }
    return true;
}

void appendHex(const Value& value, std::size_t column, std::string& out) {
    char prefix[24];
    if (value.type == REG_BINARY) {
        std::snprintf(prefix, sizeof prefix, "hex:");
    } else {
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
    }
    out += prefix;
    column += std::string_view(prefix).size();
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", value.data[i]);
        out += byte;
        column += 2;
        if (i + 1 == value.data.size()) break;
        out.push_back(',');
        ++column;
        if (column >= kHexLineWidth) {
            out += "\\\n  ";
            column = 2;
        }
    }
}

void appendValue(const Value& value, std::string& out) {
    const std::size_t lineStart = out.size();
    if (value.name.empty()) {
        out.push_back('@');
    } else {
        appendQuoted(value.name, out);
    }
    out.push_back('=');
    std::u16string s;
    if (asPlainString(value, s)) {
        appendQuoted(s, out);
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        const std::uint32_t v = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                static_cast<std::uint32_t>(value.data[3]) << 24;
        char dword[20];
        std::snprintf(dword, sizeof dword, "dword:%08x", static_cast<unsigned>(v));
        out += dword;
    } else {
        appendHex(value, out.size() - lineStart, out);
    }
    out.push_back('\n');
}

}  // namespace

void writeRegSections(const Key& key, const std::u16string& path, std::string& out) {
    out += "\n[" + text::toUtf8(path) + "]\n";
    for (const auto& value : key.values.items()) appendValue(*value, out);
    for (const auto& sub : key.subkeys.items())
        writeRegSections(*sub, path + u'\\' + sub->name, out);
}

}  // namespace ce::registry

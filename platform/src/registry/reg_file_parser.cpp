#include <cstdint>
#include <utility>

#include "registry/reg_file.h"
#include "text/text.h"

namespace ce::registry {
namespace {

struct ParseError {
    std::size_t line;
    std::string message;
};

// Physical lines joined where one ends in a backslash. Each segment remembers the physical line
// it came from, so that errors point at the line a user sees.
struct LogicalLine {
    std::string text;
    std::vector<std::pair<std::size_t, std::size_t>> segments;  // offset in text, line number

    std::size_t lineAt(std::size_t offset) const {
        std::size_t line = segments.front().second;
        for (const auto& [start, number] : segments) {
            if (start <= offset) line = number;
        }
        return line;
    }
};

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A physical line goes on in the next one when it ends in a backslash outside a comment.
bool continues(std::string_view line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (quoted && line[i] == '\\')
            ++i;  // an escape: the next character cannot end the string
        else if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ';' && !quoted)
            return false;
    }
    return line.ends_with('\\');
}

// UTF-16LE bytes of text, with no terminator added.
std::vector<BYTE> wideBytes(std::u16string_view text) {
    std::vector<BYTE> bytes;
    for (const char16_t c : text) bytes.insert(bytes.end(), {BYTE(c & 0xFF), BYTE(c >> 8)});
    return bytes;
}

// Reads one logical line: a cursor with the checks of the format's pieces. In the older format
// (REGEDIT4) the text of hex(2) and hex(7) data is narrow.
class LineParser {
  public:
    LineParser(const LogicalLine& line, bool narrowHexText)
        : line_(line), text_(line.text), narrowHexText_(narrowHexText) {}

    [[noreturn]] void fail(std::string message) const {
        throw ParseError{line_.lineAt(pos_), std::move(message)};
    }

    bool atEnd() const { return pos_ == text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }
    void skipSpaces() {
        while (!atEnd() && isSpace(text_[pos_])) ++pos_;
    }
    bool consume(char c) {
        if (peek() != c || atEnd()) return false;
        ++pos_;
        return true;
    }
    // Type prefixes (dword:, hex) are accepted in any case.
    bool consumeWord(std::string_view word) {
        if (text_.size() - pos_ < word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (text::foldCase(static_cast<char16_t>(text_[pos_ + i])) !=
                text::foldCase(static_cast<char16_t>(word[i])))
                return false;
        }
        pos_ += word.size();
        return true;
    }

    // At the end of an entry only spaces and a comment may follow.
    void expectEnd(const char* what) {
        skipSpaces();
        if (!atEnd() && peek() != ';') fail(std::string("unexpected text after ") + what);
    }

    // A quoted string with the \\ and \" escapes, the cursor at its opening quote.
    std::string quoted() {
        ++pos_;
        std::string out;
        while (true) {
            if (atEnd()) fail("unterminated string");
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (c == '\\') {
                if (atEnd()) fail("unterminated string");
                const char escaped = text_[pos_];
                if (escaped != '\\' && escaped != '"')
                    fail(std::string("unknown escape sequence '\\") + escaped + "' in string");
                ++pos_;
                out.push_back(escaped);
            } else {
                out.push_back(c);
            }
        }
    }

    // Up to maxDigits hex digits as one number.
    std::uint32_t hexNumber(std::size_t maxDigits, const char* message) {
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (!atEnd() && hexDigit(peek()) >= 0) {
            if (++digits > maxDigits) fail(message);
            value = (value << 4) | static_cast<std::uint32_t>(hexDigit(text_[pos_++]));
        }
        if (digits == 0) fail(message);
        return value;
    }

    // Comma-separated hex bytes; a trailing comma is allowed.
    std::vector<BYTE> hexBytes() {
        std::vector<BYTE> bytes;
        skipSpaces();
        while (!atEnd() && peek() != ';') {
            bytes.push_back(static_cast<BYTE>(hexNumber(2, "expected a hex byte")));
            if (bytes.size() > kMaxValueDataBytes) fail(dataTooLarge());
            skipSpaces();
            if (consume(',')) {
                skipSpaces();
            } else if (!atEnd() && peek() != ';') {
                fail("expected ',' between hex bytes");
            }
        }
        return bytes;
    }

    static std::string dataTooLarge() {
        return "value data larger than " + std::to_string(kMaxValueDataBytes) + " bytes";
    }

    // Names are checked after decoding too: a NUL may come out of the bytes that spell it.
    std::u16string name(std::string_view utf8) const {
        std::u16string decoded = text::toWide(utf8);
        if (decoded.find(u'\0') != std::u16string::npos) fail("unexpected NUL character");
        return decoded;
    }

    // After the opening '[': the rest of a key section. The path ends at the first ']' that
    // only spaces or a comment follow, so a comment may hold brackets and a name may too.
    RegKeyChange section() {
        std::size_t close = pos_;
        while ((close = text_.find(']', close)) != std::string_view::npos) {
            const std::string_view rest = trimLeft(text_.substr(close + 1));
            if (rest.empty() || rest.front() == ';') break;
            ++close;
        }
        // Without one, the last ']' ends the path, and what follows it is reported.
        if (close == std::string_view::npos) close = text_.rfind(']');
        if (close == std::string_view::npos || close < pos_)
            fail("expected ']' after the key path");
        RegKeyChange change;
        change.remove = consume('-');
        const std::u16string fullPath = name(text_.substr(pos_, close - pos_));
        const std::u16string_view full = fullPath;
        const std::u16string_view rootPart = full.substr(0, full.find(u'\\'));
        const auto root = rootFromName(rootPart);
        if (!root) fail("unknown root key '" + text::toUtf8(rootPart) + "'");
        change.root = *root;
        Path path;
        switch (splitPath(full.substr(std::min(full.size(), rootPart.size() + 1)), path)) {
            case PathError::None:
                break;
            case PathError::EmptyName:
                fail("empty key name in the key path");
            case PathError::NameTooLong:
                fail("key name longer than " + std::to_string(kMaxKeyNameLength) + " characters");
            case PathError::TooDeep:
                fail("key path deeper than " + std::to_string(kMaxKeyDepth) + " keys");
        }
        if (change.remove && path.empty()) fail("a root key cannot be deleted");
        change.path.assign(path.begin(), path.end());
        pos_ = close + 1;
        expectEnd("the key section");
        return change;
    }

    // At the '@' or opening quote of a value entry.
    RegValueChange value() {
        RegValueChange change;
        if (!consume('@')) change.name = name(quoted());
        if (change.name.size() > kMaxValueNameLength)
            fail("value name longer than " + std::to_string(kMaxValueNameLength) + " characters");
        skipSpaces();
        if (!consume('=')) fail("expected '=' after value name");
        skipSpaces();
        if (peek() == '"') {
            change.type = REG_SZ;
            change.data = stringValueData(text::toWide(quoted()));
            if (change.data.size() > kMaxValueDataBytes) fail(dataTooLarge());
        } else if (consume('-')) {
            change.remove = true;
        } else if (consumeWord("dword:")) {
            change.type = REG_DWORD;
            const std::uint32_t v = hexNumber(8, "a dword needs 1 to 8 hex digits");
            change.data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8),
                           static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
        } else if (consumeWord("hex")) {
            change.type = REG_BINARY;
            if (consume('(')) {
                change.type = hexNumber(8, "expected a hex type number in 'hex(...)'");
                if (!consume(')')) fail("expected ')' after the type number");
            }
            if (!consume(':')) fail("expected ':' after 'hex'");
            change.data = hexBytes();
            if (narrowHexText_ && (change.type == REG_EXPAND_SZ || change.type == REG_MULTI_SZ)) {
                change.data = wideBytes(text::toWide(
                    {reinterpret_cast<const char*>(change.data.data()), change.data.size()}));
                if (change.data.size() > kMaxValueDataBytes) fail(dataTooLarge());
            }
        } else {
            fail("expected a string, dword:, hex: or '-' after '='");
        }
        expectEnd("the value");
        return change;
    }

  private:
    const LogicalLine& line_;
    std::string_view text_;
    const bool narrowHexText_;
    std::size_t pos_ = 0;
};

// Turns the file's bytes into UTF-8 text.
bool decode(std::string_view bytes, std::string& text, std::string& error) {
    if (bytes.starts_with("\xFF\xFE")) {
        bytes.remove_prefix(2);
        if (bytes.size() % 2 != 0) {
            error = "UTF-16 text with an odd number of bytes";
            return false;
        }
        std::u16string wide(bytes.size() / 2, u'\0');
        for (std::size_t i = 0; i < wide.size(); ++i) {
            wide[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                            static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
        }
        text = text::toUtf8(wide);
        return true;
    }
    if (bytes.starts_with("\xFE\xFF")) {
        error = "UTF-16 big-endian text is not supported; save the file as UTF-16LE or UTF-8";
        return false;
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    text = std::string(bytes);
    return true;
}

// Splits text into physical lines (LF or CRLF) and hands out the logical lines that hold
// something other than a comment.
class LineReader {
  public:
    explicit LineReader(std::string_view text) : text_(text) {}

    bool nextPhysical(std::string_view& line) {
        if (pos_ > text_.size()) return false;
        const std::size_t end = std::min(text_.find('\n', pos_), text_.size());
        line = text_.substr(pos_, end - pos_);
        if (line.ends_with('\r')) line.remove_suffix(1);
        pos_ = end + 1;
        ++number_;
        return true;
    }

    bool nextLogical(LogicalLine& out) {
        std::string_view line;
        while (nextPhysical(line)) {
            line = trimRight(trimLeft(line));
            if (line.empty() || line.front() == ';') continue;
            out.text.clear();
            out.segments.clear();
            while (true) {
                out.segments.emplace_back(out.text.size(), number_);
                if (!continues(line)) {
                    out.text += line;
                    return true;
                }
                out.text += line.substr(0, line.size() - 1);
                if (!nextPhysical(line)) return true;
                line = trimRight(trimLeft(line));
            }
        }
        return false;
    }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t number_ = 0;
};

void parseLines(LineReader& reader, std::vector<RegKeyChange>& out) {
    std::string_view header;
    if (!reader.nextPhysical(header) ||
        (trimRight(header) != kRegFileHeader && trimRight(header) != kRegFileHeader4)) {
        throw ParseError{1, "missing header: expected \"" + std::string(kRegFileHeader4) +
                                "\" or \"" + std::string(kRegFileHeader) + "\""};
    }
    const bool narrowHexText = trimRight(header) == kRegFileHeader4;
    LogicalLine line;
    while (reader.nextLogical(line)) {
        LineParser parser(line, narrowHexText);
        if (const std::size_t nul = line.text.find('\0'); nul != std::string::npos)
            throw ParseError{line.lineAt(nul), "unexpected NUL character"};
        if (parser.consume('[')) {
            out.push_back(parser.section());
        } else if (parser.peek() == '"' || parser.peek() == '@') {
            if (out.empty()) parser.fail("value outside a key section");
            if (out.back().remove) parser.fail("value in a section that deletes its key");
            out.back().values.push_back(parser.value());
        } else {
            parser.fail("expected a [key] section or a value");
        }
    }
}

}  // namespace

bool parseRegFile(std::string_view bytes, std::string_view source, std::vector<RegKeyChange>& out,
                  std::string& error) {
    out.clear();
    std::string text;
    if (bytes.size() > kMaxRegFileBytes) {
        error = std::string(source) + ": file larger than " + std::to_string(kMaxRegFileBytes) +
                " bytes";
        return false;
    }
    if (!decode(bytes, text, error)) {
        error = std::string(source) + ": " + error;
        return false;
    }
    LineReader reader(text);
    try {
        parseLines(reader, out);
    } catch (const ParseError& e) {
        out.clear();
        error = std::string(source) + ":" + std::to_string(e.line) + ": " + e.message;
        return false;
    }
    return true;
}

}  // namespace ce::registry

// Profiles are untrusted input: every key is known, every number range-checked, every text and
// the content bounded, and every error names its key.
#include <toml++/toml.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>

#include "peripheral/profile.h"

namespace sim {
namespace {

constexpr std::int64_t kMaxDelayMs = 600000;
constexpr std::int64_t kMaxBitRate = 4000000;
constexpr std::size_t kMaxNameLength = 256;

// Thrown inside the parser only, caught at its end and turned into the result's error; with the
// line of the profile that holds the key it is about (0: none).
struct ProfileError : std::runtime_error {
    explicit ProfileError(const std::string& what, std::uint32_t onLine = 0)
        : std::runtime_error(what), line(onLine) {}
    std::uint32_t line;
};

std::uint32_t lineOf(const toml::node& node) {
    return node.source().begin.line;
}

std::string describe(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string:
            return "a text";
        case toml::node_type::integer:
            return "an integer";
        case toml::node_type::boolean:
            return "true or false";
        case toml::node_type::table:
            return "a table";
        case toml::node_type::array:
            return "a list";
        default:
            return "a value of another kind";
    }
}

// One table of the profile, with the name used in errors.
class Section {
  public:
    Section(const toml::table* table, std::string name) : table_(table), name_(std::move(name)) {}

    // Refuses keys that are not listed: a misspelt key would otherwise be ignored silently.
    void allowOnly(std::initializer_list<std::string_view> keys) const {
        if (table_ == nullptr) return;
        for (const auto& [key, value] : *table_)
            if (std::find(keys.begin(), keys.end(), key.str()) == keys.end())
                throw ProfileError(name_ + ": unknown key \"" + std::string(key.str()) + "\"",
                                   key.source().begin.line);
    }

    const toml::node* get(std::string_view key) const {
        return table_ == nullptr ? nullptr : table_->get(key);
    }
    std::string what(std::string_view key) const { return name_ + "." + std::string(key); }
    // The line of the key's value, 0 when it is not there.
    std::uint32_t line(std::string_view key) const {
        const toml::node* node = get(key);
        return node == nullptr ? 0 : lineOf(*node);
    }

    std::optional<std::int64_t> integer(std::string_view key, std::int64_t low,
                                        std::int64_t high) const {
        const toml::node* node = get(key);
        if (node == nullptr) return std::nullopt;
        const std::optional<std::int64_t> value = node->value_exact<std::int64_t>();
        if (!value)
            throw ProfileError(what(key) + ": expected an integer, not " + describe(*node),
                               lineOf(*node));
        if (*value < low || *value > high)
            throw ProfileError(what(key) + ": " + std::to_string(*value) + " is out of range " +
                                   std::to_string(low) + ".." + std::to_string(high),
                               lineOf(*node));
        return value;
    }

    void byte(std::string_view key, std::uint8_t& field) const {
        if (const auto value = integer(key, 0, 0xFF)) field = static_cast<std::uint8_t>(*value);
    }

    std::optional<std::string> text(std::string_view key, std::size_t maxBytes) const {
        const toml::node* node = get(key);
        if (node == nullptr) return std::nullopt;
        const std::optional<std::string> value = node->value_exact<std::string>();
        if (!value)
            throw ProfileError(what(key) + ": expected a text, not " + describe(*node),
                               lineOf(*node));
        if (value->size() > maxBytes)
            throw ProfileError(what(key) + ": longer than " + std::to_string(maxBytes) + " bytes",
                               lineOf(*node));
        return value;
    }

  private:
    const toml::table* table_;
    std::string name_;
};

Section section(const toml::table& root, std::string_view name) {
    const toml::node* node = root.get(name);
    if (node != nullptr && !node->is_table())
        throw ProfileError(std::string(name) + ": expected a table, not " + describe(*node),
                           lineOf(*node));
    return Section(node == nullptr ? nullptr : node->as_table(), std::string(name));
}

template <std::size_t N>
std::array<std::uint8_t, N> paddedBytes(const std::string& text) {
    std::array<std::uint8_t, N> bytes{};
    std::copy(text.begin(), text.end(), bytes.begin());
    return bytes;
}

void parsePort(const Section& port, PeripheralOptions& options) {
    port.allowOnly({"number", "delay_ms", "removal_delay_ms", "bit_rate"});
    if (const toml::node* number = port.get("number")) {
        if (number->is_string()) {
            const std::string value = *port.text("number", 16);
            if (value == "auto")
                options.dataPort = PeripheralOptions::kLowestFreePort;
            else if (value == "never")
                options.dataPort = std::nullopt;
            else
                throw ProfileError(
                    port.what("number") + ": expected \"auto\", \"never\" or a COM number",
                    port.line("number"));
        } else {
            const std::int64_t value = *port.integer("number", INT64_MIN, INT64_MAX);
            if (value < 2 || value > kMaxDataPortNumber)
                throw ProfileError(port.what("number") + ": " + std::to_string(value) +
                                       " is out of range 2.." + std::to_string(kMaxDataPortNumber) +
                                       ": " + kDataPortLimit,
                                   port.line("number"));
            options.dataPort = static_cast<unsigned>(value);
        }
    }
    if (const auto delay = port.integer("delay_ms", 0, kMaxDelayMs))
        options.dataPortDelay = std::chrono::milliseconds(*delay);
    if (const auto delay = port.integer("removal_delay_ms", 0, kMaxDelayMs))
        options.dataPortRemovalDelay = std::chrono::milliseconds(*delay);
    if (const toml::node* rate = port.get("bit_rate")) {
        if (rate->is_string()) {
            if (*port.text("bit_rate", 16) != "unpaced")
                throw ProfileError(port.what("bit_rate") + ": expected \"unpaced\" or bits/s",
                                   port.line("bit_rate"));
            options.dataBitRate = 0;
        } else {
            const std::int64_t bitRate = *port.integer("bit_rate", 1, kMaxBitRate);
            if (bitRate < kMinDataBitRate)
                throw ProfileError(port.what("bit_rate") + ": " + std::to_string(bitRate) +
                                       " is below " + std::to_string(kMinDataBitRate) +
                                       ": the library gives a write " +
                                       std::to_string(kLibraryWriteMsPerByte) +
                                       " ms a byte, so a slower line cuts every frame it sends",
                                   port.line("bit_rate"));
            options.dataBitRate = static_cast<std::uint32_t>(bitRate);
        }
    }
}

void parseVersion(const Section& version, PeripheralIdentity& identity) {
    version.allowOnly({"status", "version", "text", "serial"});
    version.byte("status", identity.status);
    version.byte("version", identity.version);
    if (const auto text = version.text("text", identity.text.size()))
        identity.text = paddedBytes<12>(*text);
    if (const auto serial = version.integer("serial", 0, 0xFFFFFFFF))
        identity.serialNumber = static_cast<std::uint32_t>(*serial);
}

// A profile is untrusted input: the file it serves must be its own, not any file of the host.
// The name is relative, without "..", and what it names, links resolved, is inside the profile's
// directory.
std::filesystem::path confinedContentPath(const std::string& what, const std::string& name,
                                          const std::filesystem::path& directory,
                                          std::uint32_t line) {
    const std::filesystem::path relative(name);
    if (relative.empty() || relative.is_absolute() || relative.has_root_name())
        throw ProfileError(what + ": \"" + name +
                               "\": expected a path relative to the profile's directory, not an "
                               "absolute path",
                           line);
    for (const auto& part : relative)
        if (part == "..")
            throw ProfileError(what + ": \"" + name + "\": expected a path with no \"..\"", line);
    const std::filesystem::path here = directory.empty() ? "." : directory;
    std::error_code baseError;
    std::error_code resolvedError;
    const std::filesystem::path base = std::filesystem::weakly_canonical(here, baseError);
    const std::filesystem::path resolved =
        std::filesystem::weakly_canonical(here / relative, resolvedError);
    const auto [mismatch, ignored] =
        std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end());
    if (baseError || resolvedError || mismatch != base.end())
        throw ProfileError(
            what + ": \"" + name + "\": leads out of the profile's directory (through a link)",
            line);
    return resolved;
}

std::vector<std::uint8_t> readContentFile(const Section& file, const std::string& name,
                                          const std::optional<std::filesystem::path>& directory) {
    const std::string what = file.what("content_file");
    const std::uint32_t line = file.line("content_file");
    if (!directory) throw ProfileError(what + ": only in a profile read from a file", line);
    const std::filesystem::path path = confinedContentPath(what, name, *directory, line);
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) throw ProfileError(what + ": " + path.string() + ": " + error.message(), line);
    if (size > kMaxContentSize)
        throw ProfileError(what + ": " + path.string() + " is larger than " +
                               std::to_string(kMaxContentSize) + " bytes",
                           line);
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> content(static_cast<std::size_t>(size));
    if (!in.read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(size)))
        throw ProfileError(what + ": " + path.string() + " cannot be read", line);
    return content;
}

void parseFile(const Section& file, PeripheralFile& served,
               const std::optional<std::filesystem::path>& directory) {
    file.allowOnly({"status", "download_status", "name", "content", "content_file", "content_size",
                    "block_size"});
    file.byte("status", served.status);
    file.byte("download_status", served.downloadStatus);
    if (const auto name = file.text("name", kNameHeaderSize))
        served.nameHeader = paddedBytes<kNameHeaderSize>(*name);

    const int sources = (file.get("content") ? 1 : 0) + (file.get("content_file") ? 1 : 0) +
                        (file.get("content_size") ? 1 : 0);
    if (sources > 1)
        throw ProfileError(
            file.what("content") + ": give one of content, content_file and content_size",
            file.line("content"));
    if (const auto text = file.text("content", kMaxContentSize))
        served.content.assign(text->begin(), text->end());
    if (const auto name = file.text("content_file", kMaxNameLength))
        served.content = readContentFile(file, *name, directory);
    if (const auto size = file.integer("content_size", 0, kMaxContentSize))
        served.content = generatedContent(static_cast<std::size_t>(*size));
    if (const auto size = file.integer("block_size", 1, kMaxBlockBytes))
        served.blockSize = static_cast<std::size_t>(*size);
}

void parseUnasked(const Section& event, const Section& upload, UnaskedStatus& unasked) {
    event.allowOnly({"status"});
    event.byte("status", unasked.event);
    upload.allowOnly({"status", "upload_status"});
    upload.byte("status", unasked.upload);
    upload.byte("upload_status", unasked.uploadStatus);
}

void parseFaults(const toml::table& root, FaultSet& faults) {
    const Section table = section(root, "faults");
    const toml::node* node = root.get("faults");
    if (node == nullptr) return;
    for (const auto& [key, value] : *node->as_table()) {
        const FaultInfo* info = findFault(key.str());
        const std::string what = table.what(key.str());
        if (info == nullptr)
            throw ProfileError("faults: unknown fault \"" + std::string(key.str()) + "\"",
                               key.source().begin.line);
        if (!info->takesValue) {
            const std::optional<bool> on = value.value_exact<bool>();
            if (!on)
                throw ProfileError(what + ": expected true or false, not " + describe(value),
                                   lineOf(value));
            if (*on) faults.arm(info->fault);
            continue;
        }
        const auto number = table.integer(key.str(), info->min, info->max);
        faults.arm(info->fault, static_cast<std::uint32_t>(*number));
    }
}

PeripheralProfile parseRoot(const toml::table& root,
                            const std::optional<std::filesystem::path>& directory) {
    for (const auto& [key, value] : root) {
        static constexpr std::array kTopLevel{"name",  "port",   "version", "file",
                                              "event", "upload", "faults"};
        if (std::find(kTopLevel.begin(), kTopLevel.end(), key.str()) == kTopLevel.end())
            throw ProfileError("unknown key \"" + std::string(key.str()) + "\"",
                               key.source().begin.line);
    }
    PeripheralProfile profile;
    if (const toml::node* name = root.get("name")) {
        const std::optional<std::string> text = name->value_exact<std::string>();
        if (!text || text->size() > kMaxNameLength)
            throw ProfileError("name: expected a text of at most 256 bytes", lineOf(*name));
        profile.name = *text;
    }
    parsePort(section(root, "port"), profile.port);
    parseVersion(section(root, "version"), profile.identity);
    parseFile(section(root, "file"), profile.file, directory);
    parseUnasked(section(root, "event"), section(root, "upload"), profile.unasked);
    parseFaults(root, profile.faults);
    return profile;
}

}  // namespace

PeripheralFile PeripheralProfile::defaultFile() {
    PeripheralFile file;
    file.content = generatedContent(1000);
    return file;
}

std::vector<std::uint8_t> generatedContent(std::size_t size) {
    std::vector<std::uint8_t> content(size);
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return content;
}

// Profiles are ASCII text; other characters are written as \u escapes. Screening the bytes
// before the TOML parser sees them keeps it away from control and non-ASCII whitespace bytes it
// does not handle safely (an assertion on a form feed after '[', unreachable code on some
// three-byte sequences), and TOML allows no control byte but tab, line feed and carriage return.
namespace {

std::optional<std::string> screenBytes(std::string_view text) {
    int line = 1;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n') ++line;
        const bool allowed =
            byte == '\t' || byte == '\n' || byte == '\r' || (byte >= 0x20 && byte < 0x7F);
        if (!allowed) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", byte);
            return "line " + std::to_string(line) + ": byte " + hex +
                   " is not allowed (profiles are ASCII; write other characters as \\u escapes)";
        }
    }
    return std::nullopt;
}

}  // namespace

PeripheralProfileResult parsePeripheralProfile(
    std::string_view text, std::string_view source,
    const std::optional<std::filesystem::path>& fileDirectory) {
    const std::string prefix = std::string(source) + ": ";
    if (text.size() > kMaxProfileSize)
        return {std::nullopt, prefix + "larger than " + std::to_string(kMaxProfileSize) + " bytes"};
    if (const auto refused = screenBytes(text)) return {std::nullopt, prefix + *refused};
    try {
        const toml::table root = toml::parse(text, source);
        return {parseRoot(root, fileDirectory), {}};
    } catch (const toml::parse_error& error) {
        std::ostringstream message;
        message << source << ":" << error.source().begin.line << ": " << error.description();
        return {std::nullopt, message.str()};
    } catch (const ProfileError& error) {
        if (error.line == 0) return {std::nullopt, prefix + error.what()};
        return {std::nullopt,
                std::string(source) + ":" + std::to_string(error.line) + ": " + error.what()};
    } catch (const std::exception& error) {
        return {std::nullopt, prefix + "cannot be parsed: " + error.what()};
    }
}

PeripheralProfileResult loadPeripheralProfile(const std::filesystem::path& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) return {std::nullopt, path.string() + ": " + error.message()};
    if (size > kMaxProfileSize)
        return {std::nullopt,
                path.string() + ": larger than " + std::to_string(kMaxProfileSize) + " bytes"};
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    if (!file) return {std::nullopt, path.string() + ": cannot be read"};
    return parsePeripheralProfile(contents.str(), path.string(), path.parent_path());
}

}  // namespace sim

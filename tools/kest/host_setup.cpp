#include "host_setup.h"

#include <host/files.h>
#include <host/registry.h>
#include <host/serial.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace kest_tool {
namespace {

struct SerialMap {
    unsigned number;
    std::string path;
};

// A decimal COM number of at most four digits, not 0.
std::optional<unsigned> comNumber(std::string_view digits) {
    unsigned n = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (digits.empty() || digits.size() > 4 || error != std::errc{} ||
        end != digits.data() + digits.size() || n == 0)
        return std::nullopt;
    return n;
}

SerialMap parseSerialMap(const std::string& text) {
    const std::string bad = "--serial " + text + ": expected COMn:=PATH";
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals + 1 == text.size()) throw SetupError(bad);
    std::string name = text.substr(0, equals);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (name.size() < 5 || name.compare(0, 3, "COM") != 0 || name.back() != ':')
        throw SetupError(bad);
    const auto number = comNumber(std::string_view(name).substr(3, name.size() - 4));
    if (!number) throw SetupError(bad);
    return {*number, text.substr(equals + 1)};
}

// The root is made at start-up, so that a root that cannot be one is refused before the library
// runs rather than when it first writes a file.
void prepareRoot(const std::string& root) {
    if (root.empty()) throw SetupError("--root: must name a directory, not be empty");
    std::error_code error;
    std::filesystem::create_directories(root, error);
    if (error || !std::filesystem::is_directory(root))
        throw SetupError("--root " + root + ": cannot be made a directory" +
                         (error ? " (" + error.message() + ")" : std::string()));
}

// A mapped port is opened as a tty: a regular file or a directory would only give the library
// endless retries. A path that does not exist yet may be an adapter still to be plugged in
// (its port is listed once the path exists), so it is only mentioned.
void checkTtyPath(const std::string& option, const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        if (errno != ENOENT)
            throw SetupError(option + ": not a terminal or character device (" +
                             std::strerror(errno) + ")");
        std::cerr << "kest: " << option << ": no such device yet; the port is listed once " << path
                  << " exists" << std::endl;
        return;
    }
    if (!S_ISCHR(status.st_mode)) throw SetupError(option + ": not a terminal or character device");
}

}  // namespace

std::optional<unsigned> parseDataPort(const std::string& text) {
    if (text == "auto") return sim::PeripheralOptions::kLowestFreePort;
    if (text == "never") return std::nullopt;
    const auto number = comNumber(text);
    if (!number || *number == 1)
        throw SetupError("--data-port " + text + ": expected auto, never or a COM number above 1");
    if (*number > sim::kMaxDataPortNumber)
        throw SetupError("--data-port " + text + ": " + sim::kDataPortLimit);
    return number;
}

HostSetup::HostSetup(const HostOptions& options) {
    std::vector<SerialMap> maps;
    for (const std::string& text : options.serialMaps) maps.push_back(parseSerialMap(text));
    if (options.withPeripheral)
        for (const SerialMap& map : maps)
            if (map.number == 1)
                throw SetupError(
                    "--serial COM1: is the simulated peripheral's power port; add "
                    "--no-peripheral to map it");

    for (std::size_t i = 0; i < maps.size(); ++i)
        checkTtyPath("--serial " + options.serialMaps[i], maps[i].path);
    prepareRoot(options.root);
    host::files::setRoot(options.root);
    if (!options.registryFile.empty()) {
        const host::registry::LoadResult loaded = host::registry::loadFile(options.registryFile);
        if (!loaded) throw SetupError("--registry: " + loaded.error);
    }
    for (const SerialMap& map : maps) {
        host::serial::mapHostTty(map.number, map.path);
        mapped_.push_back(map.number);
    }
    if (options.withPeripheral) {
        auto peripheral = std::make_unique<sim::Peripheral>(options.peripheral);
        try {
            peripheral->start();
        } catch (const std::runtime_error& e) {
            for (const unsigned number : mapped_) host::serial::unmapHostTty(number);
            throw SetupError(e.what());
        }
        peripheral_ = std::move(peripheral);
    }
}

HostSetup::~HostSetup() {
    peripheral_.reset();
    for (const unsigned number : mapped_) host::serial::unmapHostTty(number);
}

}  // namespace kest_tool

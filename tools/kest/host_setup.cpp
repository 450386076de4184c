#include "host_setup.h"

#include <host/config.h>
#include <host/serial.h>

#include <iostream>

namespace kest_tool {
namespace {

host::config::SerialMapping parseSerialMap(const std::string& text) {
    const auto equals = text.find('=');
    const unsigned number =
        equals == std::string::npos ? 0 : host::config::parseComName(text.substr(0, equals));
    if (number == 0 || !text.substr(0, equals).ends_with(':') || equals + 1 == text.size())
        throw SetupError("--serial " + text + ": expected COMn:=PATH");
    return {number, text.substr(equals + 1)};
}

// The configuration a file would hold for these options.
host::config::HostConfig configuration(const HostOptions& options) {
    if (options.root.empty()) throw SetupError("--root: must name a directory, not be empty");
    host::config::HostConfig config;
    config.root = options.root;
    if (!options.registryFile.empty()) config.registryFiles.push_back(options.registryFile);
    for (const std::string& text : options.serialMaps) {
        config.serial.push_back(parseSerialMap(text));
        if (options.withPeripheral && config.serial.back().comNumber == 1)
            throw SetupError(
                "--serial COM1: is the simulated peripheral's power port; add "
                "--no-peripheral to map it");
    }
    return config;
}

}  // namespace

HostSetup::HostSetup(const HostOptions& options) {
    const host::config::HostConfig config = configuration(options);
    try {
        for (const std::string& notice : host::config::apply(config))
            std::cerr << "kest: " << notice << std::endl;
    } catch (const host::config::ConfigError& e) {
        throw SetupError(e.what());
    }
    for (const host::config::SerialMapping& mapping : config.serial)
        mapped_.push_back(mapping.comNumber);
    if (!options.withPeripheral) return;
    try {
        models_ = std::make_unique<sim::Models>(sim::ModelsConfig{options.peripheral, {}});
    } catch (const sim::ModelsError& e) {
        for (const unsigned number : mapped_) host::serial::unmapHostTty(number);
        throw SetupError(e.what());
    }
}

HostSetup::~HostSetup() {
    models_.reset();
    for (const unsigned number : mapped_) host::serial::unmapHostTty(number);
}

}  // namespace kest_tool

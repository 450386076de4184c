// The scene the library runs in: the handheld's file system under a host directory, the
// registry, host ttys mapped onto COM ports, and the simulated peripheral on "COM1:". The
// options are a host configuration (<host/config.h>, models/models.h) put in place by the same
// code that reads one from KEST_HOST.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "models/models.h"

namespace kest_tool {

struct HostOptions {
    std::string root = "./ce-root";
    std::string registryFile;             // empty: the built-in defaults only
    std::vector<std::string> serialMaps;  // "COMn:=PATH"
    bool withPeripheral = true;
    sim::PeripheralProfile peripheral;  // its port settings may be overridden by options
};

// A setting that cannot be put in place; what() is the one-line reason.
class SetupError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class HostSetup {
  public:
    // Throws SetupError.
    explicit HostSetup(const HostOptions& options);
    // Removes the tty mappings and stops the peripheral.
    ~HostSetup();
    HostSetup(const HostSetup&) = delete;
    HostSetup& operator=(const HostSetup&) = delete;

    // Null with --no-peripheral.
    sim::Peripheral* peripheral() { return models_ ? models_->peripheral() : nullptr; }

  private:
    std::vector<unsigned> mapped_;
    std::unique_ptr<sim::Models> models_;
};

}  // namespace kest_tool

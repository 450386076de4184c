// The device models a host configuration starts in the process: the simulated peripheral on
// "COM1:" and the fingerprint sensor on the USB stack, each from a profile as the tools take it.
//
// The [models] table of a host configuration (<host/config.h>) names them:
//   peripheral = "wrong_checksum"      # a shipped profile's name, or a path to a profile
//   data_port = "auto"                 # "auto", "never" or a COM number (overrides the profile)
//   data_port_delay_ms = 100           # overrides the profile's
//   sensor = "default"                 # a shipped sensor profile's name, or a path
// libkest_models.so reads it through its KestModels_Start entry (models_library.cpp); the kest
// tool fills ModelsConfig from its options and starts the same Models.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "peripheral/peripheral.h"
#include "sensor/sensor.h"

namespace sim {

// A [models] table that cannot be read or a model that cannot start; what() is the reason.
class ModelsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ModelsConfig {
    std::optional<PeripheralProfile> peripheral;
    std::optional<SensorProfile> sensor;
};

// Where a profile is: `given` itself when it holds a '/' or names an existing file, else the
// shipped profile `given`.toml in `shipped`.
std::filesystem::path profilePath(const std::string& given, const std::filesystem::path& shipped);

// "auto", "never" or a COM number from 2 to kMaxDataPortNumber. Throws ModelsError.
std::optional<unsigned> parseDataPort(const std::string& text);

// Reads the [models] table of the host configuration at configPath. profiles holds the shipped
// profiles' folders, "peripheral" and "sensor". Throws ModelsError.
ModelsConfig loadModelsConfig(const std::string& configPath, const std::filesystem::path& profiles);

class Models {
  public:
    // Starts the configured models; throws ModelsError with none of them left running.
    explicit Models(const ModelsConfig& config);
    // Unplugs the sensor and stops the peripheral.
    ~Models();
    Models(const Models&) = delete;
    Models& operator=(const Models&) = delete;

    Peripheral* peripheral() { return peripheral_.get(); }

  private:
    std::unique_ptr<Peripheral> peripheral_;
    std::shared_ptr<Sensor> sensor_;
    host::usb::DeviceId sensorId_ = 0;
};

}  // namespace sim

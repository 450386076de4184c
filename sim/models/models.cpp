#include "models/models.h"

#include <toml++/toml.h>

#include <charconv>

namespace sim {
namespace {

constexpr DWORD kUnplugWaitMs = 10000;

std::string where(const toml::node& node, const std::string& source) {
    return source + ":" + std::to_string(node.source().begin.line) + ": models: ";
}

std::string textValue(const toml::node& node, const std::string& key, const std::string& source) {
    const auto value = node.value<std::string>();
    if (!value || value->empty())
        throw ModelsError(where(node, source) + key + ": expected a string");
    return *value;
}

PeripheralProfile loadPeripheral(const std::filesystem::path& path) {
    PeripheralProfileResult loaded = loadPeripheralProfile(path);
    if (!loaded.profile) throw ModelsError("peripheral: " + loaded.error);
    return std::move(*loaded.profile);
}

SensorProfile loadSensor(const std::filesystem::path& path) {
    ProfileResult loaded = loadProfile(path.string());
    if (!loaded.profile) throw ModelsError("sensor: " + loaded.error);
    return std::move(*loaded.profile);
}

}  // namespace

std::filesystem::path profilePath(const std::string& given, const std::filesystem::path& shipped) {
    if (given.find('/') != std::string::npos || std::filesystem::exists(given)) return given;
    return shipped / (given + ".toml");
}

std::optional<unsigned> parseDataPort(const std::string& text) {
    if (text == "auto") return PeripheralOptions::kLowestFreePort;
    if (text == "never") return std::nullopt;
    unsigned number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || number < 2)
        throw ModelsError(text + ": expected auto, never or a COM number above 1");
    if (number > kMaxDataPortNumber) throw ModelsError(text + ": " + kDataPortLimit);
    return number;
}

ModelsConfig loadModelsConfig(const std::string& configPath,
                              const std::filesystem::path& profiles) {
    toml::table file;
    try {
        file = toml::parse_file(configPath);
    } catch (const toml::parse_error& e) {
        throw ModelsError(configPath + ": " + std::string(e.description()));
    }
    const toml::table* models = file["models"].as_table();
    if (models == nullptr) return {};
    const std::filesystem::path folder = std::filesystem::path(configPath).parent_path();
    const auto located = [&](const std::string& given, std::string_view kind) {
        const bool relativePath = given.find('/') != std::string::npos && given.front() != '/';
        return profilePath(relativePath ? (folder / given).string() : given, profiles / kind);
    };

    ModelsConfig config;
    std::optional<std::optional<unsigned>> dataPort;
    std::optional<std::int64_t> delay;
    for (const auto& [key, value] : *models) {
        const std::string name(key.str());
        if (name == "library") continue;  // the platform's
        if (name == "peripheral") {
            config.peripheral =
                loadPeripheral(located(textValue(value, name, configPath), "peripheral"));
        } else if (name == "sensor") {
            config.sensor = loadSensor(located(textValue(value, name, configPath), "sensor"));
        } else if (name == "data_port") {
            try {
                dataPort = parseDataPort(textValue(value, name, configPath));
            } catch (const ModelsError& e) {
                throw ModelsError(where(value, configPath) + "data_port " + e.what());
            }
        } else if (name == "data_port_delay_ms") {
            delay = value.value<std::int64_t>();
            if (!delay || *delay < 0 || *delay > 600000)
                throw ModelsError(where(value, configPath) + name + ": expected 0 to 600000");
        } else {
            throw ModelsError(where(value, configPath) + "unknown key '" + name +
                              "' (library, peripheral, data_port, data_port_delay_ms, sensor)");
        }
    }
    if ((dataPort || delay) && !config.peripheral) config.peripheral = PeripheralProfile{};
    if (dataPort) config.peripheral->port.dataPort = *dataPort;
    if (delay) config.peripheral->port.dataPortDelay = std::chrono::milliseconds(*delay);
    return config;
}

Models::Models(const ModelsConfig& config) {
    if (config.sensor) {
        if (!writeDriverKeyValues(*config.sensor))
            throw ModelsError("sensor: its driver key values could not be written");
        sensor_ = std::make_shared<Sensor>(*config.sensor);
        const host::usb::PlugResult plugged = host::usb::plug(sensor_, {config.sensor->suspend});
        if (plugged.id == 0) throw ModelsError("sensor: unusable descriptors");
        sensor_->setDeviceId(plugged.id);
        sensorId_ = plugged.id;
    }
    if (config.peripheral) {
        peripheral_ = std::make_unique<Peripheral>(*config.peripheral);
        try {
            peripheral_->start();
        } catch (const std::runtime_error& e) {
            peripheral_.reset();
            if (sensorId_ != 0 && host::usb::unplug(sensorId_))
                host::usb::waitUnplugged(sensorId_, kUnplugWaitMs);
            throw ModelsError(std::string("peripheral: ") + e.what());
        }
    }
}

Models::~Models() {
    peripheral_.reset();
    if (sensorId_ != 0 && host::usb::unplug(sensorId_))
        host::usb::waitUnplugged(sensorId_, kUnplugWaitMs);
}

}  // namespace sim

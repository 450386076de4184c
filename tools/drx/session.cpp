#include "session.h"

#include <host/devices.h>
#include <sensor/sensor.h>
#include <windows.h>

#include <sstream>

#include "error_names.h"

namespace drx_tool {
namespace {

constexpr const char* kDriverLibrary = "DERMO.DLL";
// How long unplug waits for the driver to let go of a sensor with no handle open (its detach
// pauses one second after the last close).
constexpr DWORD kUnplugWaitMs = 10000;

std::vector<std::string> words(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> result;
    for (std::string word; stream >> word;) result.push_back(word);
    return result;
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
    return text;
}

// The first stream device of the driver, "DRX1:" when there is none yet.
std::string sensorDeviceName() {
    for (const auto& device : host::devices::activeDevices())
        if (device.name.rfind("DRX", 0) == 0) return device.name;
    return "DRX1:";
}

// The driver answers every control request with ERROR_NOT_READY once it has seen the sensor go.
void waitDetached(HANDLE handle) {
    for (DWORD waited = 0; waited < kUnplugWaitMs; ++waited) {
        if (!DeviceIoControl(handle, 0, nullptr, 0, nullptr, 0, nullptr, nullptr) &&
            GetLastError() == ERROR_NOT_READY)
            return;
        Sleep(1);
    }
}

std::u16string wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

}  // namespace

Session::Session(Format format, std::string profileDirectory)
    : format_(format), profileDirectory_(std::move(profileDirectory)) {}

Session::~Session() {
    closeAll();
    if (device_ != 0 && !unplugging_) host::usb::unplug(device_);
    if (device_ != 0) host::usb::waitUnplugged(device_, kUnplugWaitMs);
}

Session::Outcome Session::failure(std::uint32_t error, std::vector<Field> fields) {
    if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
    fields.insert(fields.begin(), Field{"error", errorName(error)});
    return {error, std::move(fields)};
}

bool Session::run(const std::string& line) {
    const Arguments all = words(line);
    if (all.empty() || all.front().starts_with("#")) return true;
    const std::string& command = all.front();
    const Arguments arguments(all.begin() + 1, all.end());
    using Handler = Outcome (Session::*)(const Arguments&);
    static const std::map<std::string, Handler> table = {
        {"install", &Session::install}, {"uninstall", &Session::uninstall},
        {"plug", &Session::plug},       {"unplug", &Session::unplug},
        {"open", &Session::open},       {"close", &Session::close},
        {"quit", &Session::quit},
    };
    const auto entry = table.find(command);
    const Outcome outcome =
        entry != table.end() ? (this->*entry->second)(arguments)
                             : failure(ERROR_INVALID_PARAMETER, {{"message", "unknown command"}});
    printResult(format_, command, outcome.code, outcome.fields);
    return command != "quit";
}

Session::Outcome Session::install(const Arguments&) {
    if (!host::usb::installDriver(kDriverLibrary)) return failure(GetLastError());
    return {};
}

Session::Outcome Session::uninstall(const Arguments&) {
    if (!host::usb::uninstallDriver(kDriverLibrary)) return failure(GetLastError());
    return {};
}

Session::Outcome Session::plug(const Arguments& arguments) {
    if (device_ != 0) return failure(ERROR_BUSY, {{"message", "a sensor is plugged"}});
    sim::ProfileResult loaded{sim::defaultProfile(), {}};
    if (!arguments.empty()) {
        const std::string& name = arguments.front();
        const bool isPath = name.find('/') != std::string::npos || name.ends_with(".toml");
        loaded = sim::loadProfile(isPath ? name : profileDirectory_ + "/" + name + ".toml");
        if (!loaded.profile) return failure(ERROR_BAD_FORMAT, {{"message", loaded.error}});
    }
    const sim::SensorProfile& profile = *loaded.profile;
    if (!sim::writeDriverKeyValues(profile)) return failure(ERROR_CANTWRITE);
    sensor_ = std::make_shared<sim::Sensor>(profile);
    const host::usb::PlugResult plugged = host::usb::plug(sensor_, {profile.suspend});
    if (plugged.id == 0) {
        sensor_.reset();
        return failure(ERROR_BAD_FORMAT, {{"message", "unusable descriptors"}});
    }
    device_ = plugged.id;
    unplugging_ = false;
    return {0,
            {{"id", std::int64_t{plugged.id}},
             {"attached", std::int64_t{plugged.attached}},
             {"profile", profile.name},
             {"vendor", hex4(profile.vendorId)},
             {"product", hex4(profile.productId)}}};
}

void Session::finishUnplug() {
    host::usb::waitUnplugged(device_, kUnplugWaitMs);
    device_ = 0;
    sensor_.reset();
    unplugging_ = false;
}

Session::Outcome Session::unplug(const Arguments&) {
    if (device_ == 0 || unplugging_)
        return failure(ERROR_DEVICE_NOT_CONNECTED, {{"message", "no sensor is plugged"}});
    host::usb::unplug(device_);
    unplugging_ = true;
    // With handles open the driver keeps the sensor until they are closed (close H); the
    // command returns once the driver refuses new work on them.
    const std::int64_t open = static_cast<std::int64_t>(handles_.size());
    if (open == 0)
        finishUnplug();
    else
        waitDetached(handles_.begin()->second);
    return {0, {{"handles", open}, {"gone", std::int64_t{open == 0}}}};
}

Session::Outcome Session::open(const Arguments& arguments) {
    const std::string name = arguments.empty() ? sensorDeviceName() : arguments.front();
    HANDLE handle = CreateFileW(wide(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return failure(GetLastError(), {{"device", name}});
    const int number = nextHandle_++;
    handles_[number] = handle;
    std::vector<Field> fields{{"handle", std::int64_t{number}}, {"device", name}};
    if (sensor_) {
        fields.push_back({"profile", sensor_->profile().name});
        fields.push_back({"suspended", std::int64_t{sensor_->suspended()}});
    }
    return {0, std::move(fields)};
}

Session::Outcome Session::close(const Arguments& arguments) {
    int number = 0;
    try {
        number = arguments.empty() ? 0 : std::stoi(arguments.front());
    } catch (const std::exception&) {
        number = 0;
    }
    const auto entry = handles_.find(number);
    if (entry == handles_.end())
        return failure(ERROR_INVALID_HANDLE, {{"message", "no such handle"}});
    if (!CloseHandle(entry->second)) return failure(GetLastError());
    handles_.erase(entry);
    std::vector<Field> fields{{"handle", std::int64_t{number}}};
    if (unplugging_ && handles_.empty()) {
        finishUnplug();
        fields.push_back({"gone", std::int64_t{1}});
    }
    return {0, std::move(fields)};
}

Session::Outcome Session::quit(const Arguments&) {
    return {};
}

void Session::closeAll() {
    for (const auto& [number, handle] : handles_) CloseHandle(handle);
    handles_.clear();
}

}  // namespace drx_tool

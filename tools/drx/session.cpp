#include "session.h"

#include <host/devices.h>
#include <sensor/sensor.h>
#include <windows.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "error_names.h"
#include "shown_text.h"

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

std::string commandHelp() {
    return R"(Commands (one a line; # starts a comment; numbers decimal or 0x-hexadecimal):
  install | uninstall       USBInstallDriver / USBUnInstallDriver of the driver
  plug [PROFILE]            write the profile's registry values and plug the sensor
  unplug                    unplug it; with handles open the driver keeps it until the last close
  open [DEVICE]             open the sensor's device (DRX1: by default); numbers the handle H
  close H                   close handle H
  read H N                  ReadFile of N bytes
  write H HEX               WriteFile of the bytes
  ioctl H NAME ARGS...      a control code by its name in dermo.h, or a number
  timeouts H R W C          IOCTL_SENSOR_SET_TIMEOUTS (milliseconds; 0 keeps one)
  property H get ID         IOCTL_SENSOR_EXT_GET_PROPERTY
  property H set ID V       IOCTL_SENSOR_EXT_SET_PROPERTY
  capture H FILE.png        capture an image and write it as a grey-scale PNG
  fault NAME [ARG]          set a fault of the plugged sensor
  help                      this list
  quit                      close what is open, unplug and end
)";
}

Session::Session(Format format, std::string profileDirectory,
                 std::optional<host::libusb::Match> usb)
    : format_(format), profileDirectory_(std::move(profileDirectory)), usb_(usb) {}

Session::~Session() {
    closeAll();
    if (device_ != 0 && !unplugging_) host::usb::unplug(device_);
    if (device_ != 0) host::usb::waitUnplugged(device_, kUnplugWaitMs);
}

bool Session::run(const std::string& line) {
    ++lineNumber_;
    const Arguments all = words(line);
    if (all.empty() || all.front().starts_with("#")) return true;
    const std::string& command = all.front();
    const Arguments arguments(all.begin() + 1, all.end());
    using Handler = Outcome (Session::*)(const Arguments&);
    static const std::map<std::string, Handler> table = {
        {"install", &Session::install},   {"uninstall", &Session::uninstall},
        {"plug", &Session::plug},         {"unplug", &Session::unplug},
        {"open", &Session::open},         {"close", &Session::close},
        {"timeouts", &Session::timeouts}, {"property", &Session::property},
        {"fault", &Session::fault},       {"help", &Session::help},
        {"quit", &Session::quit},
    };
    static const std::map<std::string, Outcome (*)(HANDLE, const Arguments&)> handleCommands = {
        {"read", readCommand},
        {"write", writeCommand},
        {"ioctl", ioctlCommand},
        {"capture", captureCommand},
    };
    Outcome outcome = usage("unknown command");
    if (const auto entry = table.find(command); entry != table.end())
        outcome = (this->*entry->second)(arguments);
    else if (const auto onOne = handleCommands.find(command); onOne != handleCommands.end())
        outcome = onHandle(arguments, onOne->second);
    printResult(format_, command, outcome.code, outcome.fields);
    if (outcome.invalid) {
        // usage() made it: its last field is the message.
        const auto& message = std::get<std::string>(outcome.fields.back().value);
        std::cerr << "drx: line " << lineNumber_ << ": '" << tool_text::excerpt(command)
                  << "': " << message << std::endl;
    }
    exitCode_ = std::max(exitCode_, outcome.invalid ? 2 : outcome.code != 0 ? 1 : 0);
    return command != "quit";
}

Outcome Session::install(const Arguments&) {
    if (!host::usb::installDriver(kDriverLibrary)) return failure(GetLastError());
    return {};
}

Outcome Session::uninstall(const Arguments&) {
    if (!host::usb::uninstallDriver(kDriverLibrary)) return failure(GetLastError());
    return {};
}

Outcome Session::plug(const Arguments& arguments) {
    if (device_ != 0) return failure(ERROR_BUSY, {{"message", "a sensor is plugged"}});
    if (usb_) return plugUsb();
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
    sensor_->setDeviceId(plugged.id);
    device_ = plugged.id;
    unplugging_ = false;
    return {0,
            {{"id", std::int64_t{plugged.id}},
             {"attached", std::int64_t{plugged.attached}},
             {"profile", profile.name},
             {"vendor", hex4(profile.vendorId)},
             {"product", hex4(profile.productId)}}};
}

// plug with --usb: the first matching device libusb finds, as the stack offered it to the
// driver.
Outcome Session::plugUsb() {
    std::string error;
    libusb_ = host::libusb::Host::start(*usb_, error);
    if (!libusb_) return failure(ERROR_GEN_FAILURE, {{"message", error}});
    const std::vector<host::usb::DeviceId> devices = libusb_->devices();
    if (devices.empty()) {
        const std::string refused = libusb_->lastOpenError();
        libusb_.reset();
        return failure(ERROR_DEVICE_NOT_CONNECTED,
                       {{"message", refused.empty() ? "no matching USB device is attached"
                                                    : refused}});
    }
    device_ = devices.front();
    unplugging_ = false;
    const auto active = host::devices::activeDevices();
    const bool attached = std::any_of(active.begin(), active.end(), [](const auto& device) {
        return device.name.rfind("DRX", 0) == 0;
    });
    return {0, {{"id", std::int64_t{device_}}, {"attached", std::int64_t{attached}}}};
}

void Session::finishUnplug() {
    host::usb::waitUnplugged(device_, kUnplugWaitMs);
    device_ = 0;
    sensor_.reset();
    libusb_.reset();
    unplugging_ = false;
}

Outcome Session::unplug(const Arguments&) {
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

Outcome Session::open(const Arguments& arguments) {
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

Outcome Session::close(const Arguments& arguments) {
    const auto parsed = arguments.empty() ? std::nullopt : parseNumber(arguments.front());
    const int number = parsed ? static_cast<int>(*parsed) : 0;
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

Outcome Session::help(const Arguments&) {
    printHelp(format_, commandHelp());
    return {};
}

Outcome Session::quit(const Arguments&) {
    return {};
}

Outcome Session::onHandle(const Arguments& arguments,
                          Outcome (*command)(HANDLE handle, const Arguments& rest)) {
    const auto number = arguments.empty() ? std::nullopt : parseNumber(arguments.front());
    const auto entry = number ? handles_.find(static_cast<int>(*number)) : handles_.end();
    if (entry == handles_.end())
        return failure(ERROR_INVALID_HANDLE, {{"message", "no such handle"}});
    return command(entry->second, Arguments(arguments.begin() + 1, arguments.end()));
}

// timeouts H R W C: IOCTL_SENSOR_SET_TIMEOUTS
Outcome Session::timeouts(const Arguments& arguments) {
    if (arguments.empty()) return usage("expected H R W C");
    Arguments call{arguments.front(), "IOCTL_SENSOR_SET_TIMEOUTS"};
    call.insert(call.end(), arguments.begin() + 1, arguments.end());
    return onHandle(call, ioctlCommand);
}

// property H get ID | property H set ID V
Outcome Session::property(const Arguments& arguments) {
    if (arguments.size() < 3 || (arguments[1] != "get" && arguments[1] != "set"))
        return usage("expected H get ID or H set ID V");
    Arguments call{arguments[0], arguments[1] == "get" ? "IOCTL_SENSOR_EXT_GET_PROPERTY"
                                                       : "IOCTL_SENSOR_EXT_SET_PROPERTY"};
    call.insert(call.end(), arguments.begin() + 2, arguments.end());
    return onHandle(call, ioctlCommand);
}

// fault NAME [ARG]: on the plugged sensor (sim/sensor/sensor_faults.h)
Outcome Session::fault(const Arguments& arguments) {
    if (!sensor_) return failure(ERROR_DEVICE_NOT_CONNECTED, {{"message", "no sensor is plugged"}});
    if (arguments.empty() || arguments.size() > 2) return usage("expected NAME [ARG]");
    std::optional<std::uint32_t> arg;
    if (arguments.size() == 2 && !(arg = parseNumber(arguments[1])))
        return usage("ARG is a number");
    if (!sensor_->setFault(arguments[0], arg)) return usage("unknown fault");
    return {0, {{"fault", arguments[0]}}};
}

void Session::closeAll() {
    for (const auto& [number, handle] : handles_) CloseHandle(handle);
    handles_.clear();
}

}  // namespace drx_tool

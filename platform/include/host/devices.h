// Host control API: the device manager.
//
// ActivateDevice(Ex) finds a driver by the "Dll" value of its driver key:
//  1. a driver built into the process and registered here under that name (compared without
//     case), else
//  2. a host shared library in the library directory: the name's final path component is lower
//     cased, a trailing ".dll" is dropped, and "lib<name>.so" then "<name>.so" are tried
//     ("DERMO.DLL" loads libdermo.so or dermo.so). Its entry points are looked up with dlsym as
//     <Prefix>_Init and so on (<devload.h>).
#pragma once

#include <devload.h>

#include <string>
#include <vector>

namespace host::devices {

// The entry points of one stream driver. Init, Deinit, Open, Close are required; a null
// Read, Write, Seek or IOControl makes that call fail with ERROR_NOT_SUPPORTED; the others are
// optional.
struct StreamDriver {
    PFN_DEVICE_INIT init = nullptr;
    PFN_DEVICE_DEINIT deinit = nullptr;
    PFN_DEVICE_OPEN open = nullptr;
    PFN_DEVICE_CLOSE close = nullptr;
    PFN_DEVICE_READ read = nullptr;
    PFN_DEVICE_WRITE write = nullptr;
    PFN_DEVICE_SEEK seek = nullptr;
    PFN_DEVICE_IOCONTROL ioControl = nullptr;
    PFN_DEVICE_PRECLOSE preClose = nullptr;
    PFN_DEVICE_PREDEINIT preDeinit = nullptr;
    PFN_DEVICE_POWER powerUp = nullptr;
    PFN_DEVICE_POWER powerDown = nullptr;
};

// Registers (or replaces) a built-in driver under a "Dll" name. Devices already active keep the
// entry points they were activated with.
void registerBuiltInDriver(const std::string& dllName, const StreamDriver& driver);

// The directory searched for driver libraries; the default is the current directory.
void setLibraryDirectory(const std::string& directory);

struct ActiveDevice {
    std::string name;       // "COM5:"
    std::string driverKey;  // "Drivers\Host\Serial\COM5"
    std::string activeKey;  // "Drivers\Active\03"
};

// The devices active now, in the order they were activated.
std::vector<ActiveDevice> activeDevices();

}  // namespace host::devices

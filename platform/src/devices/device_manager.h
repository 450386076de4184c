// The device manager: activation of stream drivers, the device names they serve, and the
// routing of CreateFileW on those names to the driver.
#pragma once

#include <devload.h>
#include <host/devices.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devices/device.h"

namespace ce::devices {

// A device name: three letters, a decimal index of any length and a colon ("COM5:", "COM12:").
bool isDeviceName(std::u16string_view name);

class DeviceManager {
  public:
    // Built on first use and never destroyed: drivers may be deactivated during process exit.
    static DeviceManager& instance();

    void registerBuiltIn(const std::string& dllName, const host::devices::StreamDriver& driver);
    void setLibraryDirectory(const std::string& directory);
    std::string libraryDirectory();

    // Null, with the last error set, on failure.
    HANDLE activate(std::u16string_view driverKey, LPCREGINI values, DWORD valueCount,
                    DWORD_PTR clientInfo);
    BOOL deactivate(HANDLE device);
    // INVALID_HANDLE_VALUE, with the last error set, on failure.
    HANDLE open(std::u16string_view name, DWORD access, DWORD share);

    std::vector<host::devices::ActiveDevice> list();

  private:
    struct Driver {
        host::devices::StreamDriver entries;
        void* library = nullptr;
    };
    bool loadDriver(const std::u16string& dllName, const std::string& prefix, Driver& out);
    // Picks the index and reserves the device's name, handle and Active key, which it creates.
    bool reserve(const std::shared_ptr<Device>& device, const std::u16string& prefix,
                 std::optional<DWORD> index);
    void unreserve(const Device& device);

    std::mutex lock_;
    std::map<std::string, host::devices::StreamDriver> builtIns_;  // keys in lower case
    std::string libraryDirectory_ = ".";
    std::vector<std::shared_ptr<Device>> devices_;  // in activation order; ready or reserved
    DWORD nextActiveNumber_ = 1;
    DWORD nextHandle_ = 1;
};

}  // namespace ce::devices

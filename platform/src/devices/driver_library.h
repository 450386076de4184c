// Stream drivers in host shared libraries, found by the "Dll" name of their driver key.
#pragma once

#include <host/devices.h>

#include <optional>
#include <string>
#include <vector>

namespace ce::devices {

// The library files a "Dll" name maps onto, in the order they are tried: the name's last path
// component, lower cased, without a trailing ".dll", as lib<name>.so and then <name>.so.
std::vector<std::string> libraryCandidates(const std::string& directory,
                                           const std::string& dllName);

// Opens the first candidate that loads, through the loader (kernel/loader.h), which also closes
// it again; null, with the last error ERROR_MOD_NOT_FOUND, if none
// does. Also used for the libraries of USB client drivers, named by their "DLL" value.
void* openDriverLibrary(const std::string& directory, const std::string& dllName);

struct DriverLibrary {
    void* handle = nullptr;  // for kernel::closeLibrary
    host::devices::StreamDriver driver;
};

// Loads the library and looks up <prefix>_Init and the other entry points. Sets the last error
// (ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND) when it fails.
std::optional<DriverLibrary> loadDriverLibrary(const std::string& directory,
                                               const std::string& dllName,
                                               const std::string& prefix);

}  // namespace ce::devices

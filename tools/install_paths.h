// Where a tool finds the rest of the SDK: relative to its own directory, as the installation
// (and the build tree, which is laid out the same way) puts them. No path of the build is
// compiled in, so an installed prefix can be anywhere.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kest_tools {

// The directory of the shared libraries: libdermo.so, libkest.so, libceplatform.so.
std::filesystem::path libraryDirectory();

// The shipped profiles of a simulated device: "peripheral" or "sensor".
std::filesystem::path profileDirectory(std::string_view device);

// For --help: "Shipped peripheral profiles (--peripheral NAME), in DIR:" and the names, one
// indented paragraph.
std::string shippedProfilesHelp(std::string_view device, std::string_view usage);

}  // namespace kest_tools

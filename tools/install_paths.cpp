#include "install_paths.h"

#include <system_error>

namespace kest_tools {
namespace {

std::filesystem::path programDirectory() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::current_path() : program.parent_path();
}

}  // namespace

std::filesystem::path libraryDirectory() {
    return (programDirectory() / KEST_BIN_TO_LIB).lexically_normal();
}

std::filesystem::path profileDirectory(std::string_view device) {
    return (programDirectory() / KEST_BIN_TO_DATA / "kest" / "profiles" / device)
        .lexically_normal();
}

}  // namespace kest_tools

#include "install_paths.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace kest_tools {
namespace {

constexpr std::size_t kHelpWidth = 96;

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

std::string shippedProfilesHelp(std::string_view device, std::string_view usage) {
    const std::filesystem::path directory = profileDirectory(device);
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error))
        if (entry.path().extension() == ".toml") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    std::string text = "Shipped " + std::string(device) + " profiles (" + std::string(usage) +
                       "), in " + directory.string() + ":\n ";
    if (names.empty()) return text + " none found\n";
    std::size_t lineLength = 1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string item = " " + names[i] + (i + 1 < names.size() ? "," : "");
        if (lineLength + item.size() > kHelpWidth) {
            text += "\n ";
            lineLength = 1;
        }
        text += item;
        lineLength += item.size();
    }
    return text + "\n";
}

}  // namespace kest_tools

#include <dlfcn.h>
#include <host/config.h>
#include <host/devices.h>
#include <host/files.h>
#include <host/registry.h>
#include <host/serial.h>
#include <sys/stat.h>
#include <toml++/toml.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace host::config {
namespace {

namespace fs = std::filesystem;

using StartModels = int (*)(const char* configPath, char* error, std::size_t errorSize);
using StopModels = void (*)();

std::string where(const toml::source_region& region, const std::string& source) {
    return source + ":" + std::to_string(region.begin.line);
}

std::string resolved(const std::string& path, const fs::path& folder) {
    const fs::path given(path);
    return given.is_absolute() || folder.empty() ? path
                                                 : (folder / given).lexically_normal().string();
}

std::string stringValue(const toml::node& node, const std::string& key, const std::string& source) {
    const auto value = node.value<std::string>();
    if (!value || value->empty())
        throw ConfigError(where(node.source(), source) + ": " + key +
                          ": expected a non-empty string");
    return *value;
}

void readSerial(const toml::node& node, const std::string& source, const fs::path& folder,
                HostConfig& config) {
    const toml::table* table = node.as_table();
    if (table == nullptr)
        throw ConfigError(where(node.source(), source) + ": serial: expected a table");
    for (const auto& [key, value] : *table) {
        const std::string name(key.str());
        const unsigned number = parseComName(name);
        if (number == 0)
            throw ConfigError(where(value.source(), source) + ": serial: '" + name +
                              "' is not a COM port (COM1 to COM9999)");
        config.serial.push_back(
            {number, resolved(stringValue(value, "serial." + name, source), folder)});
    }
}

void readModels(const toml::node& node, const std::string& source, const fs::path& folder,
                HostConfig& config) {
    const toml::table* table = node.as_table();
    if (table == nullptr)
        throw ConfigError(where(node.source(), source) + ": models: expected a table");
    const toml::node* library = table->get("library");
    if (library == nullptr)
        throw ConfigError(where(node.source(), source) + ": models: library is missing");
    const std::string name = stringValue(*library, "models.library", source);
    // A bare name is found by the loader's own search, as a library the program links.
    config.modelLibrary = name.find('/') == std::string::npos ? name : resolved(name, folder);
}

// A mapped path is opened as a tty: a regular file or a directory would only give the library
// endless retries. A path that does not exist yet may be an adapter still to be plugged in.
std::string checkTtyPath(const SerialMapping& mapping) {
    const std::string port = "COM" + std::to_string(mapping.comNumber) + ": " + mapping.path;
    struct stat status {};
    if (stat(mapping.path.c_str(), &status) != 0) {
        if (errno != ENOENT)
            throw ConfigError(port + ": not a terminal or character device (" +
                              std::strerror(errno) + ")");
        return port + ": no such device yet; the port is listed once " + mapping.path + " exists";
    }
    if (!S_ISCHR(status.st_mode)) throw ConfigError(port + ": not a terminal or character device");
    return {};
}

void prepareRoot(const std::string& root) {
    std::error_code error;
    fs::create_directories(root, error);
    if (error || !fs::is_directory(root))
        throw ConfigError("root " + root + ": cannot be made a directory" +
                          (error ? " (" + error.message() + ")" : std::string()));
}

std::mutex modelsLock;
StopModels stopModels = nullptr;

void stopModelsAtExit() {
    std::lock_guard guard(modelsLock);
    if (stopModels != nullptr) stopModels();
    stopModels = nullptr;
}

void startModels(const HostConfig& config) {
    const std::string library = "models: " + config.modelLibrary;
    // The library stays loaded: its threads run until exit.
    void* handle = dlopen(config.modelLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw ConfigError(library + ": " + dlerror());
    const auto start = reinterpret_cast<StartModels>(dlsym(handle, "KestModels_Start"));
    const auto stop = reinterpret_cast<StopModels>(dlsym(handle, "KestModels_Stop"));
    if (start == nullptr || stop == nullptr)
        throw ConfigError(library + ": exports no KestModels_Start and KestModels_Stop");
    std::lock_guard guard(modelsLock);
    if (stopModels != nullptr) throw ConfigError(library + ": models are started already");
    char error[512] = "";
    if (start(config.source.c_str(), error, sizeof error) != 0)
        throw ConfigError(library + ": " + (error[0] != '\0' ? error : "did not start"));
    stopModels = stop;
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(stopModelsAtExit); });
}

// Reads KEST_HOST when the platform is loaded. This file is the last of the library's sources,
// so every other initialiser of the library has run.
__attribute__((constructor)) void applyEnvironment() {
    const char* path = std::getenv("KEST_HOST");
    if (path == nullptr || *path == '\0') return;
    try {
        for (const std::string& notice : apply(load(path)))
            std::fprintf(stderr, "KEST_HOST=%s: %s\n", path, notice.c_str());
    } catch (const ConfigError& e) {
        std::fprintf(stderr, "KEST_HOST=%s: %s\n", path, e.what());
        std::fflush(stderr);
        std::_Exit(1);
    }
}

}  // namespace

unsigned parseComName(std::string_view name) {
    if (name.ends_with(':')) name.remove_suffix(1);
    if (name.size() < 4 || name.size() > 7) return 0;
    for (std::size_t i = 0; i < 3; ++i)
        if ((name[i] & ~0x20) != "COM"[i]) return 0;
    unsigned number = 0;
    const auto digits = name.substr(3);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc{} || end != digits.data() + digits.size() || number == 0) return 0;
    return number;
}

HostConfig parse(std::string_view text, const std::string& source) {
    toml::table table;
    try {
        table = toml::parse(text, source);
    } catch (const toml::parse_error& e) {
        throw ConfigError(where(e.source(), source) + ": " + std::string(e.description()));
    }
    const fs::path folder = fs::path(source).parent_path();
    HostConfig config;
    config.source = source;
    for (const auto& [key, value] : table) {
        const std::string name(key.str());
        if (name == "root") {
            config.root = resolved(stringValue(value, name, source), folder);
        } else if (name == "drivers") {
            config.driverDirectory = resolved(stringValue(value, name, source), folder);
        } else if (name == "registry") {
            const toml::array* files = value.as_array();
            if (files == nullptr)
                throw ConfigError(where(value.source(), source) +
                                  ": registry: expected an array of paths");
            for (const toml::node& file : *files)
                config.registryFiles.push_back(resolved(stringValue(file, name, source), folder));
        } else if (name == "serial") {
            readSerial(value, source, folder, config);
        } else if (name == "models") {
            readModels(value, source, folder, config);
        } else {
            throw ConfigError(where(value.source(), source) + ": unknown key '" + name +
                              "' (root, registry, drivers, serial, models)");
        }
    }
    return config;
}

HostConfig load(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        throw ConfigError(path + ": cannot be read (" + std::strerror(errno) + ")");
    std::string content;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        content.append(buffer, n);
    std::fclose(file);
    return parse(content, path);
}

std::vector<std::string> apply(const HostConfig& config) {
    std::vector<std::string> notices;
    for (const SerialMapping& mapping : config.serial)
        if (std::string notice = checkTtyPath(mapping); !notice.empty()) notices.push_back(notice);
    if (!config.root.empty()) {
        prepareRoot(config.root);
        host::files::setRoot(config.root);
    }
    for (const std::string& file : config.registryFiles)
        if (const host::registry::LoadResult loaded = host::registry::loadFile(file); !loaded)
            throw ConfigError("registry: " + loaded.error);
    if (!config.driverDirectory.empty()) host::devices::setLibraryDirectory(config.driverDirectory);
    for (const SerialMapping& mapping : config.serial)
        host::serial::mapHostTty(mapping.comNumber, mapping.path);
    if (config.modelLibrary.empty()) return notices;
    try {
        startModels(config);
    } catch (const ConfigError&) {
        for (const SerialMapping& mapping : config.serial)
            host::serial::unmapHostTty(mapping.comNumber);
        throw;
    }
    return notices;
}

}  // namespace host::config

#include "devices/driver_library.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>

#include "kernel/loader.h"

namespace ce::devices {
namespace {

template <class Fn>
void lookUp(void* library, const std::string& prefix, const char* entry, Fn& target) {
    const std::string symbol = prefix + "_" + entry;
    // dlsym hands back an object pointer; the entry points are declared with exactly these types.
    target = reinterpret_cast<Fn>(dlsym(library, symbol.c_str()));
}

}  // namespace

std::vector<std::string> libraryCandidates(const std::string& directory,
                                           const std::string& dllName) {
    std::string base = dllName.substr(dllName.find_last_of("\\/") + 1);
    std::transform(base.begin(), base.end(), base.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (base.size() > 4 && base.ends_with(".dll")) base.resize(base.size() - 4);
    if (base.empty()) return {};
    const std::string dir = directory.empty() ? "." : directory;
    return {dir + "/lib" + base + ".so", dir + "/" + base + ".so"};
}

void* openDriverLibrary(const std::string& directory, const std::string& dllName) {
    for (const std::string& path : libraryCandidates(directory, dllName))
        if (void* library = kernel::openLibrary(path)) return library;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

std::optional<DriverLibrary> loadDriverLibrary(const std::string& directory,
                                               const std::string& dllName,
                                               const std::string& prefix) {
    void* library = openDriverLibrary(directory, dllName);
    if (library == nullptr) return std::nullopt;
    DriverLibrary loaded;
    loaded.handle = library;
    host::devices::StreamDriver& d = loaded.driver;
    lookUp(library, prefix, "Init", d.init);
    lookUp(library, prefix, "Deinit", d.deinit);
    lookUp(library, prefix, "Open", d.open);
    lookUp(library, prefix, "Close", d.close);
    lookUp(library, prefix, "Read", d.read);
    lookUp(library, prefix, "Write", d.write);
    lookUp(library, prefix, "Seek", d.seek);
    lookUp(library, prefix, "IOControl", d.ioControl);
    lookUp(library, prefix, "PreClose", d.preClose);
    lookUp(library, prefix, "PreDeinit", d.preDeinit);
    lookUp(library, prefix, "PowerUp", d.powerUp);
    lookUp(library, prefix, "PowerDown", d.powerDown);
    if (!d.init || !d.deinit || !d.open || !d.close) {
        kernel::closeLibrary(library);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return std::nullopt;
    }
    return loaded;
}

}  // namespace ce::devices

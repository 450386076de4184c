#include "kernel/loader.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "devices/device_manager.h"
#include "devices/driver_library.h"
#include "text/text.h"

namespace ce::kernel {
namespace {

struct Library {
    HMODULE module = nullptr;  // the image's base address, as on the handheld
    std::string path;          // host file
    DllEntry entry = nullptr;  // null for a library without the loader glue
    bool threadCalls = true;   // cleared by DisableThreadLibraryCalls
    void* handle = nullptr;    // the loader's dlopen reference while references > 0
    LONG references = 0;       // taken by LoadLibraryW, dropped by FreeLibrary
    bool attached = true;      // between its process attach and detach
};

struct Loader {
    // Recursive, as the handheld's: a DllMain may load another library.
    std::recursive_mutex lock;
    std::vector<Library> libraries;
    int dynamicCalls = 0;  // openLibrary or closeLibrary calls in progress on the lock's owner
};

// Built on first use and never destroyed, so that libraries detaching at process exit still
// find it.
Loader& loader() {
    static auto* instance = new Loader;
    return *instance;
}

HMODULE moduleAt(const void* address, std::string* path = nullptr) {
    Dl_info info{};
    if (dladdr(address, &info) == 0) return nullptr;
    if (path != nullptr && info.dli_fname != nullptr) *path = info.dli_fname;
    return static_cast<HMODULE>(info.dli_fbase);
}

HMODULE moduleOfHandle(void* handle) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return nullptr;
    return moduleAt(map->l_ld);
}

Library* find(HMODULE module) {
    auto& all = loader().libraries;
    const auto it = std::find_if(all.begin(), all.end(),
                                 [&](const Library& l) { return l.module == module; });
    return it == all.end() ? nullptr : &*it;
}

std::string fileName(const std::string& path) {
    return path.substr(path.find_last_of('/') + 1);
}

// A loaded library answers to a name as the driver loaders map names onto files.
Library* findByName(const std::string& name) {
    for (const std::string& candidate : devices::libraryCandidates("", name)) {
        for (Library& library : loader().libraries)
            if (fileName(library.path) == fileName(candidate)) return &library;
    }
    return nullptr;
}

void erase(HMODULE module) {
    auto& all = loader().libraries;
    std::erase_if(all, [&](const Library& l) { return l.module == module; });
}

// Snapshot first: an entry point may load or free libraries.
void notifyThread(DWORD reason) {
    std::vector<HMODULE> modules;
    for (const Library& library : loader().libraries) modules.push_back(library.module);
    for (HMODULE module : modules) {
        const Library* library = find(module);
        if (library != nullptr && library->entry != nullptr && library->attached &&
            library->threadCalls)
            library->entry(module, reason, nullptr);
    }
}

LPVOID reservedForCaller() {
    // Any non-null value tells a static load (process start) or process exit.
    return loader().dynamicCalls > 0 ? nullptr : reinterpret_cast<LPVOID>(1);
}

}  // namespace

void attachLibrary(const void* addressInside, DllEntry entry) {
    std::lock_guard guard(loader().lock);
    Library library;
    library.module = moduleAt(addressInside, &library.path);
    library.entry = entry;
    if (library.module == nullptr || find(library.module) != nullptr) return;
    loader().libraries.push_back(library);
    entry(library.module, DLL_PROCESS_ATTACH, reservedForCaller());
}

void detachLibrary(const void* addressInside) {
    std::lock_guard guard(loader().lock);
    const HMODULE module = moduleAt(addressInside);
    const Library* library = find(module);
    if (library == nullptr) return;
    if (library->attached) library->entry(module, DLL_PROCESS_DETACH, reservedForCaller());
    erase(module);
}

void* openLibrary(const std::string& path) {
    std::lock_guard guard(loader().lock);
    ++loader().dynamicCalls;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    --loader().dynamicCalls;
    return handle;
}

void closeLibrary(void* handle) {
    std::lock_guard guard(loader().lock);
    ++loader().dynamicCalls;
    dlclose(handle);
    --loader().dynamicCalls;
}

void threadStarting() {
    std::lock_guard guard(loader().lock);
    notifyThread(DLL_THREAD_ATTACH);
}

void threadEnding() {
    std::lock_guard guard(loader().lock);
    notifyThread(DLL_THREAD_DETACH);
}

}  // namespace ce::kernel

using ce::kernel::Library;
using ce::kernel::loader;

extern "C" HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string name = ce::text::toUtf8(ce::text::wideView(lpLibFileName));
    std::lock_guard guard(loader().lock);
    std::vector<std::string> paths;
    if (const Library* loaded = ce::kernel::findByName(name)) {
        paths.push_back(loaded->path);
    } else {
        paths = ce::devices::libraryCandidates(
            ce::devices::DeviceManager::instance().libraryDirectory(), name);
    }
    for (const std::string& path : paths) {
        void* handle = ce::kernel::openLibrary(path);
        if (handle == nullptr) continue;
        const HMODULE module = ce::kernel::moduleOfHandle(handle);
        Library* library = ce::kernel::find(module);
        if (library == nullptr) {  // a library without an entry point
            loader().libraries.push_back(Library{module, path});
            library = &loader().libraries.back();
        }
        if (!library->attached) {  // freed to nought before, but never unmapped
            library->attached = true;
            library->entry(module, DLL_PROCESS_ATTACH, nullptr);
        }
        if (library->handle == nullptr) {
            library->handle = handle;
        } else {
            ce::kernel::closeLibrary(handle);  // one dlopen reference per library is enough
        }
        ++library->references;
        return module;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    std::lock_guard guard(loader().lock);
    Library* library = ce::kernel::find(hLibModule);
    if (library == nullptr || library->references == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--library->references > 0) return TRUE;
    // The process detach runs here rather than from the destructor inside dlclose: the host's
    // own loader lock is held there, and a thread of the library that needs it (a first
    // thread_local) could never let the detach finish.
    if (library->entry != nullptr && library->attached) {
        library->attached = false;
        library->entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
    }
    library = ce::kernel::find(hLibModule);
    if (library == nullptr) return TRUE;
    void* handle = library->handle;
    const std::string path = library->path;
    library->handle = nullptr;
    // Unmapping forgets the library; one that stays mapped (linked at start, or opened by
    // somebody else) keeps its record for a later load.
    ce::kernel::closeLibrary(handle);
    if (void* still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
        dlclose(still);
    } else {
        ce::kernel::erase(hLibModule);
    }
    return TRUE;
}

extern "C" HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    if (lpModuleName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard guard(loader().lock);
    const Library* library =
        ce::kernel::findByName(ce::text::toUtf8(ce::text::wideView(lpModuleName)));
    if (library == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return library->module;
}

extern "C" BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
    std::lock_guard guard(loader().lock);
    Library* library = ce::kernel::find(hLibModule);
    if (library == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    library->threadCalls = false;
    return TRUE;
}

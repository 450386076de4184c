// libkest_models.so: the device models of a host configuration, loaded by the platform when the
// configuration's [models] table names this library (<host/config.h>).
#include <dlfcn.h>

#include <cstddef>
#include <cstring>
#include <mutex>

#include "models/models.h"

namespace {

std::mutex lock;
sim::Models* running = nullptr;

// The shipped profiles, found from this library's own place as an installation lays them out.
std::filesystem::path shippedProfiles() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&shippedProfiles), &info) == 0 ||
        info.dli_fname == nullptr)
        return {};
    const std::filesystem::path library = std::filesystem::absolute(info.dli_fname);
    return (library.parent_path() / KEST_LIB_TO_DATA / "kest" / "profiles").lexically_normal();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int KestModels_Start(const char* configPath,
                                                                       char* error,
                                                                       std::size_t errorSize) {
    std::lock_guard guard(lock);
    try {
        if (running != nullptr) throw sim::ModelsError("the models are running already");
        running = new sim::Models(sim::loadModelsConfig(configPath, shippedProfiles()));
        return 0;
    } catch (const std::exception& e) {
        if (errorSize > 0) {
            std::strncpy(error, e.what(), errorSize - 1);
            error[errorSize - 1] = '\0';
        }
        return 1;
    }
}

extern "C" __attribute__((visibility("default"))) void KestModels_Stop() {
    std::lock_guard guard(lock);
    delete running;
    running = nullptr;
}

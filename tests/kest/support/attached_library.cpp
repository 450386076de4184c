#include "attached_library.h"

#include <stdexcept>

#include "manager/device_manager.h"
#include "manager/library_entry.h"

namespace kest_test {

AttachedLibrary::AttachedLibrary() {
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
}

AttachedLibrary::~AttachedLibrary() {
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
}

kest::DeviceManager& AttachedLibrary::manager() const {
    kest::DeviceManager* manager = kest::deviceManager.load();
    if (manager == nullptr) throw std::logic_error("the library has no device manager");
    return *manager;
}

}  // namespace kest_test

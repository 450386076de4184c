// Attaches the library to the process for the lifetime of the object, as the loader would, so
// that the library-wide device manager exists; detaching frees it again.
#pragma once

namespace kest {
class DeviceManager;
}

namespace kest_test {

class AttachedLibrary {
  public:
    AttachedLibrary();
    ~AttachedLibrary();
    AttachedLibrary(const AttachedLibrary&) = delete;
    AttachedLibrary& operator=(const AttachedLibrary&) = delete;

    // The library-wide device manager.
    kest::DeviceManager& manager() const;
};

}  // namespace kest_test

// Puts the registry back to its built-in contents (AKU ".2.0", an empty Drivers\Active) for the
// lifetime of the object, and again at its end.
#pragma once

#include <host/registry.h>

namespace kest_test {

struct FreshRegistry {
    FreshRegistry() { host::registry::reset(); }
    ~FreshRegistry() { host::registry::reset(); }
    FreshRegistry(const FreshRegistry&) = delete;
    FreshRegistry& operator=(const FreshRegistry&) = delete;
};

}  // namespace kest_test

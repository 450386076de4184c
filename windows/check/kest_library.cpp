#include "kest_library.h"

namespace wine_check {
namespace {

template <typename Function>
bool resolve(HMODULE module, const char* name, Function& slot) {
    // Through the generic function pointer type, which converts to any other without a warning.
    slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return slot != nullptr;
}

}  // namespace

std::string loadKest(Kest& kest) {
    kest = Kest{};
    kest.module = LoadLibraryW(L"kest.dll");
    if (kest.module == nullptr) {
        return "LoadLibraryW(kest.dll) failed with error " + std::to_string(GetLastError());
    }
    std::string missing;
#define WINE_CHECK_RESOLVE(name) \
    if (!resolve(kest.module, "KEST_" #name, kest.name)) missing += " KEST_" #name;
    WINE_CHECK_KEST_EXPORTS(WINE_CHECK_RESOLVE)
#undef WINE_CHECK_RESOLVE
    if (missing.empty()) return {};
    FreeLibrary(kest.module);
    kest = Kest{};
    return "exports not found:" + missing;
}

}  // namespace wine_check

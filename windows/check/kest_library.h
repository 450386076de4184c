// kest.dll as an application meets it: loaded with LoadLibraryW and reached only through the
// exports that GetProcAddress finds by name.
#pragma once

#include <windows.h>
// Types and constants only: nothing is linked against the library.
#include <kest.h>

#include <string>

namespace wine_check {

// The twenty exports, each as X(name without its KEST_ prefix).
// clang-format off
#define WINE_CHECK_KEST_EXPORTS(X)                                                \
    X(AddStateChangeHandler) X(AddStatusMessageHandler) X(Close) X(Disable)      \
    X(DownloadFile) X(Enable) X(GetAutoRecover) X(GetDownloadInfo)              \
    X(GetDownloadReq) X(GetState) X(GetTimeout) X(GetVersionInfo)               \
    X(GetVersionReq) X(Open) X(RemoveStateChangeHandler)                        \
    X(RemoveStatusMessageHandler) X(SetAutoRecover) X(SetDownloadReq)           \
    X(SetTimeout) X(SetVersionReq)
// clang-format on

struct Kest {
    HMODULE module = nullptr;
#define WINE_CHECK_EXPORT_SLOT(name) decltype(&KEST_##name) name = nullptr;
    WINE_CHECK_KEST_EXPORTS(WINE_CHECK_EXPORT_SLOT)
#undef WINE_CHECK_EXPORT_SLOT
};

// Loads kest.dll and finds all twenty exports. Empty on success; otherwise why not, with the
// library freed again.
std::string loadKest(Kest& kest);

}  // namespace wine_check

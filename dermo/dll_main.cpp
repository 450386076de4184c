#include <windows.h>

#include "live_contexts.h"

// Called by the loader glue (or the handheld's loader) at process attach and detach. The driver
// keeps no per-thread state, so thread notifications are switched off.
extern "C" BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD dwReason, LPVOID /*lpvReserved*/) {
    if (dwReason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(static_cast<HMODULE>(hinstDLL));
    if (dwReason == DLL_PROCESS_DETACH) ReleaseContextsLock();
    return TRUE;
}

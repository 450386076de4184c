// A library with an entry point, loaded by the loader tests. Each DllMain call is handed to the
// test program's recordEntry (exported by the program), so that the record outlives the library.
#include <windows.h>

extern "C" void recordEntry(HANDLE module, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HANDLE module, DWORD reason, LPVOID reserved) {
    recordEntry(module, reason, reserved);
    return TRUE;
}

// A thread routine in the library that drops the reference it is given and ends its thread.
extern "C" __attribute__((visibility("default"))) DWORD WINAPI unloadAndExit(LPVOID module) {
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 7);
    return 1;  // never reached: the library may be gone
}

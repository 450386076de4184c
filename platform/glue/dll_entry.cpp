// On the handheld the loader calls a library's DllMain when it maps the library into a process
// and when it unmaps it. On this host the same happens through the shared library's constructor
// and destructor.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD dwReason, LPVOID lpvReserved);

extern "C" void* __dso_handle;

namespace {

__attribute__((constructor)) void processAttach() {
    DllMain(static_cast<HANDLE>(&__dso_handle), DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) void processDetach() {
    DllMain(static_cast<HANDLE>(&__dso_handle), DLL_PROCESS_DETACH, nullptr);
}

}  // namespace

// On the handheld the loader calls a library's DllMain when it maps the library into a process
// and when it unmaps it. On this host the shared library's constructor and destructor hand the
// entry point to the platform's loader, which calls it under the loader lock and delivers the
// thread notifications to it from then on.
#include <windows.h>

#include "kernel/loader.h"

extern "C" BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD dwReason, LPVOID lpvReserved);

extern "C" void* __dso_handle;

namespace {

__attribute__((constructor)) void processAttach() {
    ce::kernel::attachLibrary(&__dso_handle, DllMain);
}

__attribute__((destructor)) void processDetach() {
    ce::kernel::detachLibrary(&__dso_handle);
}

}  // namespace

// The loader, as the handheld's works: every DllMain call runs under one loader lock, and so do
// the start and the end of every thread made with CreateThread, which deliver DLL_THREAD_ATTACH
// and DLL_THREAD_DETACH to the loaded libraries that want them. A thread therefore cannot start
// or end while another thread is inside a DllMain.
//
// A library's process attach and detach follow its mapping: the loader glue linked into it calls
// attachLibrary from the shared object's constructor and detachLibrary from its destructor. The
// mapping changes by dlopen and dlclose through openLibrary and closeLibrary (LoadLibraryW,
// FreeLibrary and the driver loaders), or at process start and exit.
#pragma once

#include <windows.h>

#include <string>

namespace ce::kernel {

using DllEntry = BOOL(WINAPI*)(HANDLE module, DWORD reason, LPVOID reserved);

// addressInside is any address inside the library's image. The entry point's lpvReserved is null
// while openLibrary or closeLibrary maps or unmaps the library, and non-null at process start
// and exit, as the handheld tells a dynamic load from a static one.
void attachLibrary(const void* addressInside, DllEntry entry);
void detachLibrary(const void* addressInside);

// dlopen (RTLD_NOW | RTLD_LOCAL) and dlclose under the loader lock.
void* openLibrary(const std::string& path);
void closeLibrary(void* library);

// Run on every thread made with CreateThread before its routine starts and after it has ended.
void threadStarting();
void threadEnding();

}  // namespace ce::kernel

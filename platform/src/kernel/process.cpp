// Per-thread last error, time, sleeping, and the local heap.
#include <chrono>
#include <cstdlib>
#include <thread>

#include "kernel/object.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

extern "C" DWORD WINAPI GetLastError(void) { return lastError; }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (dwMilliseconds == INFINITE) ce::kernel::sleepForEver();
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

// Milliseconds since an arbitrary start, wrapping at 2^32 as on the handheld.
extern "C" DWORD WINAPI GetTickCount(void) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if ((uFlags & LMEM_MOVEABLE) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    void* block = (uFlags & LMEM_ZEROINIT) != 0 ? std::calloc(1, uBytes ? uBytes : 1)
                                                : std::malloc(uBytes ? uBytes : 1);
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}

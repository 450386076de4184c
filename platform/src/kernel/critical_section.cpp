#include <mutex>

#include "kernel/object.h"

namespace {
std::recursive_mutex& lockOf(LPCRITICAL_SECTION cs) {
    return *static_cast<std::recursive_mutex*>(cs->hostLock);
}
}  // namespace

extern "C" void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    cs->hostLock = new std::recursive_mutex;
    cs->OwnerThread = 0;
    cs->LockCount = 0;
}

extern "C" void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    delete static_cast<std::recursive_mutex*>(cs->hostLock);
    cs->hostLock = nullptr;
}

extern "C" void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
    lockOf(cs).lock();
    cs->OwnerThread = GetCurrentThreadId();
    ++cs->LockCount;
}

extern "C" BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
    if (!lockOf(cs).try_lock()) return FALSE;
    cs->OwnerThread = GetCurrentThreadId();
    ++cs->LockCount;
    return TRUE;
}

extern "C" void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    if (--cs->LockCount == 0) cs->OwnerThread = 0;
    lockOf(cs).unlock();
}

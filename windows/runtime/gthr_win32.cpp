// The calls of GCC's win32 thread layer that the C++ runtime linked into the DLLs uses: the
// mutex of the emergency exception pool (eh_alloc.o) and the once and recursive mutex of the
// guards of function-local statics (guard.o), made as libgcc makes them. A mutex is a count
// that the first locker takes without a wait and a semaphore for the others.
//
// libgcc's own come in one object (gthr-win32.o) with its thread-specific keys, which import
// TlsAlloc; with these in the DLL that object is never linked. A runtime member that needs one
// of its other calls makes the link fail on a second definition of these.
#include <windows.h>

static_assert(__GNUC__ == 12, "check these against this GCC's gthr-win32.h");

namespace {

// gthr-win32.h's types. A count is -1 while its mutex is free.
struct GthreadOnce {
    int done;
    LONG started;  // -1 until the first caller claims the call
};

struct GthreadMutex {
    LONG counter;
    HANDLE sema;
};

struct GthreadRecursiveMutex {
    LONG counter;
    LONG depth;
    DWORD owner;
    HANDLE sema;
};

// Waits for the semaphore of a mutex whose count this caller raised; 0 once it has it.
int awaitSemaphore(LONG* counter, HANDLE sema) {
    if (WaitForSingleObject(sema, INFINITE) == WAIT_OBJECT_0) return 0;
    InterlockedDecrement(counter);
    return 1;
}

// Lowers the count of a mutex its owner leaves, waking one waiter if there is one.
int releaseCount(LONG* counter, HANDLE sema) {
    if (InterlockedDecrement(counter) < 0) return 0;
    return ReleaseSemaphore(sema, 1, nullptr) ? 0 : 1;
}

}  // namespace

extern "C" {

int __gthr_win32_once(GthreadOnce* once, void (*function)()) {
    if (once == nullptr || function == nullptr) return EINVAL;
    if (!once->done) {
        if (InterlockedIncrement(&once->started) == 0) {
            function();
            once->done = TRUE;
        } else {
            while (!once->done) Sleep(0);
        }
    }
    return 0;
}

void __gthr_win32_mutex_init_function(GthreadMutex* mutex) {
    mutex->counter = -1;
    mutex->sema = CreateSemaphoreW(nullptr, 0, 65535, nullptr);
}

void __gthr_win32_mutex_destroy(GthreadMutex* mutex) {
    CloseHandle(mutex->sema);
}

int __gthr_win32_mutex_lock(GthreadMutex* mutex) {
    if (InterlockedIncrement(&mutex->counter) == 0) return 0;
    return awaitSemaphore(&mutex->counter, mutex->sema);
}

int __gthr_win32_mutex_unlock(GthreadMutex* mutex) {
    return releaseCount(&mutex->counter, mutex->sema);
}

void __gthr_win32_recursive_mutex_init_function(GthreadRecursiveMutex* mutex) {
    mutex->counter = -1;
    mutex->depth = 0;
    mutex->owner = 0;
    mutex->sema = CreateSemaphoreW(nullptr, 0, 65535, nullptr);
}

int __gthr_win32_recursive_mutex_lock(GthreadRecursiveMutex* mutex) {
    const DWORD self = GetCurrentThreadId();
    if (InterlockedIncrement(&mutex->counter) != 0) {
        if (mutex->owner == self) {
            InterlockedDecrement(&mutex->counter);
            ++mutex->depth;
            return 0;
        }
        if (awaitSemaphore(&mutex->counter, mutex->sema) != 0) return 1;
    }
    mutex->depth = 1;
    mutex->owner = self;
    return 0;
}

int __gthr_win32_recursive_mutex_unlock(GthreadRecursiveMutex* mutex) {
    if (--mutex->depth != 0) return 0;
    mutex->owner = 0;
    return releaseCount(&mutex->counter, mutex->sema);
}

}  // extern "C"

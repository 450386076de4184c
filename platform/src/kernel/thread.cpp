#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <csetjmp>
#include <thread>

#include <pthread.h>

#include "kernel/loader.h"
#include "kernel/object.h"

namespace ce::kernel {
namespace {

std::atomic<DWORD> nextThreadId{1};
thread_local DWORD currentThreadId = 0;
// Where ExitThread leaves the routine of a thread made with CreateThread, and with what code.
thread_local std::jmp_buf* exitPoint = nullptr;
thread_local DWORD exitCode = 0;

// A thread's handle is signalled once its routine has returned, or once a thread ended before
// its routine began has left.
class Thread final : public Waitable {
public:
    bool isSignalledLocked() const override { return finished_; }

    // False when the thread was ended before it could begin its routine.
    bool begin() {
        std::lock_guard guard(waitLock());
        if (terminated_) return false;
        begun_ = true;
        return true;
    }

    // This host cannot stop a thread anywhere inside its routine. A thread that has not begun it
    // is ended before it does; one asleep for ever (Sleep(INFINITE)) is woken to leave it as
    // ExitThread does; any other is waited for until it has left its routine for good (a return
    // or ExitThread). Either way it runs nothing of its creator's code afterwards.
    void terminate(DWORD exitCode) {
        {
            std::lock_guard guard(waitLock());
            if (!begun_) {
                terminated_ = true;
                terminatedCode_ = exitCode;
                return;
            }
        }
        std::unique_lock guard(routineLock_);
        if (!terminateRequested_) {
            terminateRequested_ = true;
            requestedCode_ = exitCode;
            routineChanged_.notify_all();
        }
        routineChanged_.wait(guard, [this] { return left_; });
    }
    // On the thread itself: returns the code of the first TerminateThread once there is one.
    DWORD awaitTerminate() {
        std::unique_lock guard(routineLock_);
        routineChanged_.wait(guard, [this] { return terminateRequested_; });
        return requestedCode_;
    }
    void leaveRoutine() {
        std::lock_guard guard(routineLock_);
        left_ = true;
        routineChanged_.notify_all();
    }
    DWORD terminatedCode() const {
        std::lock_guard guard(waitLock());
        return terminatedCode_;
    }

    void finish(DWORD exitCode) {
        std::lock_guard guard(waitLock());
        exitCode_ = exitCode;
        finished_ = true;
        notifyWaitersLocked();
    }

    DWORD exitCode() const {
        std::lock_guard guard(waitLock());
        return finished_ ? exitCode_ : STILL_ACTIVE;
    }

private:
    bool finished_ = false;
    DWORD exitCode_ = 0;
    bool begun_ = false;
    bool terminated_ = false;
    DWORD terminatedCode_ = 0;
    std::mutex routineLock_;
    std::condition_variable routineChanged_;
    bool left_ = false;
    bool terminateRequested_ = false;
    DWORD requestedCode_ = 0;
};

// ExitThread comes back here without unwinding the routine's frames, as the handheld's leaves a
// thread's stack: nothing of the routine runs again, so its library may be gone by then.
DWORD runRoutine(LPTHREAD_START_ROUTINE routine, LPVOID parameter) {
    std::jmp_buf point;
    if (setjmp(point) != 0) return exitCode;
    exitPoint = &point;
    return routine(parameter);
}

// The thread made with CreateThread that runs here; null on any other.
thread_local Thread* currentThread = nullptr;

}  // namespace

void sleepForEver() {
    if (currentThread != nullptr) ExitThread(currentThread->awaitTerminate());
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

DWORD threadIdOfCaller() {
    if (currentThreadId == 0) currentThreadId = nextThreadId.fetch_add(1);
    return currentThreadId;
}

}  // namespace ce::kernel

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE routine,
                                      LPVOID parameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    using ce::kernel::Thread;
    if (routine == nullptr || (dwCreationFlags & CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>();
    const DWORD id = ce::kernel::nextThreadId.fetch_add(1);
    // The handle is in the table before the thread starts, so the thread's own exit never races
    // the creator's use of the handle.
    HANDLE handle = ce::kernel::insertHandle(thread);
    try {
        std::thread([thread, routine, parameter, id] {
            ce::kernel::currentThreadId = id;
            ce::kernel::currentThread = thread.get();
            ce::kernel::threadStarting();
            if (!thread->begin()) {
                thread->finish(thread->terminatedCode());
                return;
            }
            const DWORD code = ce::kernel::runRoutine(routine, parameter);
            thread->leaveRoutine();
            ce::kernel::threadEnding();
            thread->finish(code);
        }).detach();
    } catch (const std::system_error&) {
        ce::kernel::closeHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId) *lpThreadId = id;
    return handle;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = ce::kernel::lookupHandleAs<ce::kernel::Thread>(hThread);
    if (!thread || lpExitCode == nullptr) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = thread->exitCode();
    return TRUE;
}

extern "C" BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
    auto thread = ce::kernel::lookupHandleAs<ce::kernel::Thread>(hThread);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    thread->terminate(dwExitCode);
    return TRUE;
}

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return ce::kernel::threadIdOfCaller(); }

extern "C" void WINAPI ExitThread(DWORD dwExitCode) {
    if (ce::kernel::exitPoint == nullptr) pthread_exit(nullptr);  // not made with CreateThread
    ce::kernel::exitCode = dwExitCode;
    std::longjmp(*ce::kernel::exitPoint, 1);
}

extern "C" void WINAPI FreeLibraryAndExitThread(HMODULE hLibModule, DWORD dwExitCode) {
    FreeLibrary(hLibModule);
    ExitThread(dwExitCode);
}

#include <atomic>
#include <thread>

#include "kernel/object.h"

namespace ce::kernel {
namespace {

std::atomic<DWORD> nextThreadId{1};
thread_local DWORD currentThreadId = 0;

// A thread's handle is signalled once its routine has returned.
class Thread final : public Waitable {
public:
    bool isSignalledLocked() const override { return finished_; }

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
};

}  // namespace

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
            thread->finish(routine(parameter));
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

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return ce::kernel::threadIdOfCaller(); }

#include "watchdog.h"

#include <cstdio>
#include <cstdlib>

namespace wine_check {

// The watchdog lives until the process ends, so it is neither stopped nor freed.
Watchdog::Watchdog(Report& report)
    : report_(report),
      changed_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      running_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&lock_);
    HANDLE thread = changed_ != nullptr && running_ != nullptr
                        ? CreateThread(nullptr, 0, run, this, 0, nullptr)
                        : nullptr;
    if (thread == nullptr || WaitForSingleObject(running_, 10000) != WAIT_OBJECT_0) {
        std::fputs("FAIL watchdog: the watchdog thread could not be started\n", stdout);
        std::exit(kExitCode);
    }
    CloseHandle(thread);
}

void Watchdog::arm(const char* check, const std::string& step, DWORD limitMs) {
    EnterCriticalSection(&lock_);
    armed_ = true;
    check_ = check;
    step_ = step;
    limitMs_ = limitMs;
    deadline_ = GetTickCount64() + limitMs;
    LeaveCriticalSection(&lock_);
    SetEvent(changed_);
}

void Watchdog::disarm() {
    EnterCriticalSection(&lock_);
    armed_ = false;
    LeaveCriticalSection(&lock_);
    SetEvent(changed_);
}

DWORD WINAPI Watchdog::run(LPVOID parameter) {
    auto* watchdog = static_cast<Watchdog*>(parameter);
    SetEvent(watchdog->running_);
    for (;;) {
        DWORD wait = INFINITE;
        EnterCriticalSection(&watchdog->lock_);
        if (watchdog->armed_) {
            const ULONGLONG now = GetTickCount64();
            if (now >= watchdog->deadline_) watchdog->fire();
            wait = static_cast<DWORD>(watchdog->deadline_ - now);
        }
        LeaveCriticalSection(&watchdog->lock_);
        WaitForSingleObject(watchdog->changed_, wait);
    }
}

// Called with the lock held; nothing else takes it for long.
void Watchdog::fire() {
    report_.fail(check_,
                 step_ + " did not return within " + std::to_string(limitMs_) + " ms (watchdog)");
    report_.failNotRun("not run: the watchdog ended the process");
    report_.summary();
    TerminateProcess(GetCurrentProcess(), kExitCode);
    for (;;) Sleep(INFINITE);  // TerminateProcess does not return for the calling process
}

}  // namespace wine_check

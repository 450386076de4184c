// A thread that ends the process when an armed step overruns its limit. It is started, and
// known to run, before the first unload: a thread created while a FreeLibrary holds the loader
// lock would never start. When it fires it reports the step as failed, prints the summary and
// ends the process with TerminateProcess, as ExitProcess could hang on the same loader lock.
#pragma once

#include <windows.h>

#include <string>

#include "report.h"

namespace wine_check {

class Watchdog {
  public:
    // Exit code of a process the watchdog ended.
    static constexpr UINT kExitCode = 3;

    explicit Watchdog(Report& report);
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // From now on `step` must end within limitMs, else check `check` fails.
    void arm(const char* check, const std::string& step, DWORD limitMs);
    void disarm();

  private:
    static DWORD WINAPI run(LPVOID watchdog);
    [[noreturn]] void fire();

    Report& report_;
    CRITICAL_SECTION lock_;
    HANDLE changed_;  // auto-reset: the watchdog looks at its deadline again
    HANDLE running_;  // manual-reset: the watchdog's thread has started
    bool armed_ = false;
    ULONGLONG deadline_ = 0;
    DWORD limitMs_ = 0;
    const char* check_ = "";
    std::string step_;
};

}  // namespace wine_check

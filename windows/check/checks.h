// The checks of the program, each returning an empty text when it passed, else why it failed.
#pragma once

#include <string>

#include "kest_library.h"
#include "report.h"
#include "watchdog.h"

namespace wine_check {

// coredll.dll on its own (coredll_checks.cpp), before kest.dll is loaded.
std::string checkMessageQueues();
std::string checkPowerBroadcast();

// kest.dll loaded once, in this order (kest_checks.cpp). Without a peripheral every power-on
// fails: "COM1:" cannot be opened.
std::string prepareRegistry();
std::string checkAttach(const Kest& kest);
std::string checkPowerOnFailure(const Kest& kest);
std::string checkHandlers(const Kest& kest);
std::string checkAutoRecover(const Kest& kest);
std::string checkSuspendClosesWaitingRequest(const Kest& kest);
std::string checkSuspendHoldsPowerOnUntilResume(const Kest& kest);
std::string checkCradle(const Kest& kest);

// Unloading (unload_checks.cpp): FreeLibrary of the library loaded above and then of fresh
// loads, each under the watchdog; and a process that exits with the library loaded.
// `threadsBefore` is the process's thread count before the first load.
int processThreadCount();
void runUnloadChecks(Report& report, Watchdog& watchdog, Kest& loaded, int threadsBefore);
// The child process of the exit check: returns the exit code the parent expects, or another.
int exitWithRequestWaiting();
inline constexpr char kExitWithRequestArgument[] = "exit-with-request-waiting";

}  // namespace wine_check

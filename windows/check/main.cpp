// Checks kest.dll under Wine, through its exports alone, with Wine's own kernel objects,
// registry, files and loader, and coredll.dll for the handheld's calls that Windows lacks.
// Prints one line per check and a closing count; exits 0 only if every check passed.
#include <cstring>

#include "checks.h"

int main(int argc, char** argv) {
    using namespace wine_check;
    if (argc == 2 && std::strcmp(argv[1], kExitWithRequestArgument) == 0) {
        return exitWithRequestWaiting();
    }
    Report report;
    Watchdog watchdog(report);

    report.run("coredll message queues", checkMessageQueues);
    report.run("coredll power broadcast", checkPowerBroadcast);
    report.run("registry prepared", prepareRegistry);

    const int threadsBefore = processThreadCount();
    Kest kest;
    if (std::string why = loadKest(kest); !why.empty()) {
        report.fail("attach and initial pass", why);
        return report.summary();
    }
    report.run("attach and initial pass", [&] { return checkAttach(kest); });
    report.run("power-on failure without a peripheral", [&] { return checkPowerOnFailure(kest); });
    report.run("handlers replaced and removed", [&] { return checkHandlers(kest); });
    report.run("auto-recovery settings", [&] { return checkAutoRecover(kest); });
    report.run("suspend closes a waiting open",
               [&] { return checkSuspendClosesWaitingRequest(kest); });
    report.run("suspend holds power-on until resume",
               [&] { return checkSuspendHoldsPowerOnUntilResume(kest); });
    report.run("cradle", [&] { return checkCradle(kest); });
    runUnloadChecks(report, watchdog, kest, threadsBefore);
    return report.summary();
}

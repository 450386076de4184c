// kest.dll through its exports, against Wine's own kernel objects, registry and files, with
// "COM1:" unopenable: the peripheral is never there, so each pass that wants it powered tries
// and fails, and the power notifications come from coredll.dll's broadcast.
#include <pm.h>

#include <string>
#include <vector>

#include "checks.h"
#include "host_power.h"
#include "recorder.h"
#include "worker.h"

namespace wine_check {

Recorder application;
Recorder replacement;

namespace {

using Lines = std::vector<std::string>;

// A pass runs at least once a second; this leaves room for a slow machine.
constexpr DWORD kPassWait = 5000;
// Long enough for two more passes: what has not happened by then does not happen at all.
constexpr DWORD kQuietWait = 2500;

std::string joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "'" : ", '") + line + "'";
    return "[" + text + "]";
}

std::string joined(const std::vector<int>& states) {
    std::string text;
    for (int state : states) text += (text.empty() ? "" : ", ") + std::to_string(state);
    return "[" + text + "]";
}

DWORD broadcast(DWORD message, DWORD flags) {
    return HostBroadcastPowerNotification(message, flags, nullptr, 0);
}

DWORD broadcastSuspend() {
    const WCHAR name[] = L"suspend";
    return HostBroadcastPowerNotification(PBT_TRANSITION, POWER_STATE_SUSPEND, name, sizeof name);
}

DWORD broadcastPowerInfo(BYTE acLineStatus) {
    POWER_BROADCAST_POWER_INFO info{};
    info.bACLineStatus = acLineStatus;
    info.bBatteryFlag = BATTERY_FLAG_HIGH;
    info.bBackupBatteryFlag = BATTERY_FLAG_HIGH;
    return HostBroadcastPowerNotification(PBT_POWERINFOCHANGE, 0, &info, sizeof info);
}

// True if `expected` comes in `lines` in this order from index `from` on, each line right after
// the one before.
bool followsAt(const Lines& lines, std::size_t from, const Lines& expected) {
    if (from > lines.size() || lines.size() - from < expected.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (lines[from + i] != expected[i]) return false;
    }
    return true;
}

// True if the status at `index` was reported right after `text`.
bool reportedAfter(std::size_t index, const std::string& text) {
    const Lines lines = application.statuses();
    return index != Recorder::kNone && index > 0 && index < lines.size() &&
           lines[index - 1] == text;
}

// Closes the peripheral and waits until no pass tries to power it on any more.
std::string closeAndSettle(const Kest& kest) {
    // It does not wait: 1, or 0 when the manager thread got there first.
    if (const int closed = kest.Close(); closed != KEST_OK && closed != KEST_NOT_DONE) {
        return "KEST_Close returned " + std::to_string(closed);
    }
    const int attempts = application.count("Powering on KEST.");
    Sleep(kQuietWait);
    // A pass that began before the close may still have tried once.
    if (application.count("Powering on KEST.") > attempts + 1) {
        return "passes went on powering on after KEST_Close";
    }
    if (kest.GetState() != KEST_STATE_CLOSED) {
        return "state " + std::to_string(kest.GetState()) + " after KEST_Close, expected 1";
    }
    return {};
}

}  // namespace

// The handheld's AKU version, which every power-off reads, as the host's registry has it.
std::string prepareRegistry() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\Versions", 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return "cannot create HKLM\\SYSTEM\\Versions";
    }
    const WCHAR aku[] = L".2.0";
    const LONG set =
        RegSetValueExW(key, L"AKU", 0, REG_SZ, reinterpret_cast<const BYTE*>(aku), sizeof aku);
    RegCloseKey(key);
    return set == ERROR_SUCCESS ? "" : "cannot set the AKU value";
}

std::string checkAttach(const Kest& kest) {
    if (kest.GetState() != KEST_STATE_CLOSED) return "state is not 1 after the attach";
    if (kest.GetTimeout() != 0 || kest.GetDownloadReq() != 1 || kest.GetVersionReq() != 0) {
        return "settings are not the defaults (time-out 0, download 1, version 0)";
    }
    unsigned char suspend = 9;
    unsigned char cradle = 9;
    int received = -1;
    int total = -1;
    if (kest.GetAutoRecover(&suspend, &cradle) != KEST_OK || suspend != 0 || cradle != 0) {
        return "auto-recovery is not off";
    }
    if (kest.GetDownloadInfo(nullptr, &received, &total) != KEST_NOT_DONE || received != 0 ||
        total != 0) {
        return "KEST_GetDownloadInfo does not report a download that has not ended (1, 0 of 0)";
    }
    if (kest.AddStatusMessageHandler(recordStatus<application>) != KEST_OK ||
        kest.AddStateChangeHandler(recordState<application>) != KEST_OK) {
        return "registering the handlers failed";
    }
    return {};
}

std::string checkPowerOnFailure(const Kest& kest) {
    application.clear();
    if (kest.Open(0, 0, 2) != KEST_NOT_DONE) return "KEST_Open did not time out (1)";
    if (application.count("Request timed out.") != 1) return "no 'Request timed out.'";

    // The first pass, as the host reports it; the error number is Wine's.
    Lines lines = application.statuses();
    std::erase(lines, "Request timed out.");
    const Lines before = {"Powering on KEST.", "KEST state changed: 1 => 2",
                          "CreateFile invalid handle"};
    const Lines after = {
        "Exception on power on", "AKU: ",        ".2.0", "In AKU If",
        "Success opening key.",  "OS Version: ", "2.0",  "KEST state changed: 2 => 1"};
    if (!followsAt(lines, 0, before) || lines.size() <= before.size() ||
        lines[before.size()].rfind("errno=", 0) != 0 ||
        !followsAt(lines, before.size() + 1, after)) {
        return "the first pass reported " + joined(lines);
    }
    if (application.count("Powering off KEST.") != 0) return "'Powering off KEST.' without power";
    const std::vector<int> states = application.states();
    bool pairs = states.size() >= 2 && states.size() % 2 == 0;
    for (std::size_t i = 0; pairs && i < states.size(); i += 2) {
        pairs = states[i] == KEST_STATE_POWERED && states[i + 1] == KEST_STATE_CLOSED;
    }
    if (!pairs) return "states " + joined(states) + ", expected 2, 1 per pass";
    return closeAndSettle(kest);
}

std::string checkHandlers(const Kest& kest) {
    application.clear();
    replacement.clear();
    // A second state-change handler replaces the first.
    if (kest.AddStateChangeHandler(recordState<replacement>) != KEST_OK) return "add failed";
    if (kest.Open(0, 0, 0) != KEST_NOT_DONE) return "KEST_Open(0, 0, 0) did not return 1 at once";
    if (!replacement.waitForState(KEST_STATE_CLOSED, kPassWait)) {
        return "the replacing state-change handler saw no pass";
    }
    if (!application.states().empty()) return "the replaced state-change handler was still called";
    if (application.waitForStatus("Exception on power on", kPassWait) == Recorder::kNone) {
        return "the status handler saw no failed power-on";
    }
    if (std::string why = closeAndSettle(kest); !why.empty()) return why;

    // Removed handlers hear nothing, not even the time-out of the caller's own request.
    application.clear();
    replacement.clear();
    if (kest.RemoveStateChangeHandler() != KEST_OK ||
        kest.RemoveStatusMessageHandler() != KEST_OK ||
        kest.RemoveStateChangeHandler() != KEST_OK) {
        return "removing the handlers did not return 0";
    }
    // The request wakes the manager at once, so its pass runs within the second.
    if (kest.Open(0, 0, 1) != KEST_NOT_DONE) return "KEST_Open(0, 0, 1) did not time out";
    if (!application.statuses().empty() || !application.states().empty() ||
        !replacement.states().empty()) {
        return "a removed handler was called";
    }
    kest.AddStatusMessageHandler(recordStatus<application>);
    kest.AddStateChangeHandler(recordState<application>);
    return closeAndSettle(kest);
}

std::string checkAutoRecover(const Kest& kest) {
    const unsigned char settings[][2] = {{1, 0}, {0, 1}, {1, 1}, {0, 0}};
    for (const auto& setting : settings) {
        unsigned char suspend = 9;
        unsigned char cradle = 9;
        if (kest.SetAutoRecover(setting[0], setting[1]) != KEST_OK ||
            kest.GetAutoRecover(&suspend, &cradle) != KEST_OK || suspend != setting[0] ||
            cradle != setting[1]) {
            return "KEST_SetAutoRecover(" + std::to_string(setting[0]) + ", " +
                   std::to_string(setting[1]) + ") read back as " + std::to_string(suspend) + ", " +
                   std::to_string(cradle);
        }
    }
    return {};
}

// Without auto-recovery a suspend turns the open into a close: the request that waits for the
// open is fulfilled by the closed state, and after the resume the peripheral stays closed.
std::string checkSuspendClosesWaitingRequest(const Kest& kest) {
    application.clear();
    int opened = -1;
    const Worker request([&] { opened = kest.Open(0, 0, 20); });
    if (application.waitForStatus("Exception on power on", kPassWait) == Recorder::kNone) {
        return "the open made no pass";
    }
    if (broadcastSuspend() != 1) return "the library's power queue did not receive the suspend";
    const std::size_t suspended = application.waitForStatus("System suspend detected.", kPassWait);
    if (!reportedAfter(suspended, "PBT_TRANSITION msg.")) {
        return "no 'PBT_TRANSITION msg.', 'System suspend detected.'";
    }
    if (!request.waitDone(kPassWait) || opened != KEST_OK) {
        return "the waiting KEST_Open did not return 0 once the suspend closed the peripheral";
    }
    if (broadcast(PBT_RESUME, 0) != 1)
        return "the library's power queue did not receive the resume";
    const std::size_t resumed =
        application.waitForStatus("System resume detected.", kPassWait, suspended + 1);
    if (!reportedAfter(resumed, "PBT_RESUME msg.")) {
        return "no 'PBT_RESUME msg.', 'System resume detected.'";
    }
    Sleep(kQuietWait);
    if (application.count("Powering on KEST.", resumed) != 0) {
        return "the peripheral was powered on again after the resume";
    }
    return kest.GetState() == KEST_STATE_CLOSED ? "" : "state is not 1 after the resume";
}

// With auto-recovery the open stands through a suspend: no pass powers on while the system is
// suspended, and the passes take the open up again after the resume.
std::string checkSuspendHoldsPowerOnUntilResume(const Kest& kest) {
    application.clear();
    kest.SetAutoRecover(1, 0);
    if (kest.Open(0, 0, 0) != KEST_NOT_DONE) return "KEST_Open(0, 0, 0) did not return 1 at once";
    if (application.waitForStatus("Exception on power on", kPassWait) == Recorder::kNone) {
        return "the open made no pass";
    }
    if (broadcastSuspend() != 1) return "the library's power queue did not receive the suspend";
    const std::size_t suspended = application.waitForStatus("System suspend detected.", kPassWait);
    if (suspended == Recorder::kNone) return "no 'System suspend detected.'";
    Sleep(kQuietWait);
    if (application.count("Powering on KEST.", suspended) != 0) {
        return "a pass powered on while the system was suspended";
    }
    if (application.count("OS Version: ", suspended) == 0) {
        return "no power-off pass while the system was suspended";
    }
    if (broadcast(PBT_RESUME, 0) != 1)
        return "the library's power queue did not receive the resume";
    const std::size_t resumed = application.waitForStatus("PBT_RESUME msg.", kPassWait, suspended);
    if (resumed == Recorder::kNone) return "no 'PBT_RESUME msg.'";
    if (application.waitForStatus("Powering on KEST.", kPassWait, resumed) == Recorder::kNone) {
        return "the open was not taken up again after the resume";
    }
    kest.SetAutoRecover(0, 0);
    return closeAndSettle(kest);
}

// The power information record's AC line status decides the cradle condition.
std::string checkCradle(const Kest& kest) {
    application.clear();
    if (broadcastPowerInfo(AC_LINE_ONLINE) != 1) return "the power queue did not receive AC online";
    const std::size_t inCradle =
        application.waitForStatus("Handheld detected in cradle condition.", kPassWait);
    if (!reportedAfter(inCradle, "PBT_POWERINFOCHANGE msg.") ||
        application.waitForStatus("System resume detected.", kPassWait, inCradle) != inCradle + 1) {
        return "AC online reported " + joined(application.statuses());
    }
    if (broadcastPowerInfo(AC_LINE_OFFLINE) != 1)
        return "the power queue did not receive AC offline";
    if (application.waitForStatus("KEST removed from cradle.", kPassWait, inCradle) ==
        Recorder::kNone) {
        return "AC offline reported " + joined(application.statuses());
    }
    return kest.GetState() == KEST_STATE_CLOSED ? "" : "state is not 1";
}

}  // namespace wine_check

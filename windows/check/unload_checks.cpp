// FreeLibrary while the library's two threads run, and process exit with the library loaded.
// A detach may not wait for its threads' end, which needs the loader lock that FreeLibrary
// holds: every unload here runs under the watchdog.
#include <pm.h>
#include <windows.h>

// After windows.h, whose types it uses.
#include <tlhelp32.h>

#include <algorithm>
#include <string>

#include "checks.h"
#include "host_power.h"
#include "recorder.h"

namespace wine_check {

Recorder cycle;

namespace {

constexpr int kCycles = 1000;
constexpr int kEarlyUnloads = 20;
constexpr DWORD kUnloadLimit = 1000;
constexpr DWORD kPassWait = 5000;
// The child's request waits 60 s; an exit that waited for it would overrun this by far.
constexpr DWORD kChildLimit = 15000;
constexpr int kChildExitCode = 42;

// Frees the library under the watchdog; the time FreeLibrary took, in ms.
ULONGLONG unload(Watchdog& watchdog, const char* check, Kest& kest, const std::string& step) {
    watchdog.arm(check, step, kUnloadLimit);
    const ULONGLONG start = GetTickCount64();
    FreeLibrary(kest.module);
    const ULONGLONG took = GetTickCount64() - start;
    watchdog.disarm();
    kest = Kest{};
    return took;
}

// What must hold after every unload: the library is gone, its power queue with it.
std::string checkGone() {
    if (GetModuleHandleW(L"kest.dll") != nullptr) return "kest.dll is still loaded";
    if (HostBroadcastPowerNotification(PBT_RESUME, 0, nullptr, 0) != 0) {
        return "a power queue is still registered";
    }
    return {};
}

std::string checkUnloadAfterUse(Watchdog& watchdog, const char* check, Kest& loaded) {
    const ULONGLONG took = unload(watchdog, check, loaded, "FreeLibrary after the checks");
    if (took >= kUnloadLimit) return "FreeLibrary took " + std::to_string(took) + " ms";
    return checkGone();
}

// The lowest free TLS slot: a library that takes slots and does not give them back at its
// unload moves it on.
DWORD firstFreeTlsSlot() {
    const DWORD slot = TlsAlloc();
    TlsFree(slot);
    return slot;
}

// Each cycle loads the library, waits until its manager thread has made a pass for a request
// (power-on fails, back to 1), and frees it while that request is still wanted. The cycles leave
// the process's TLS slots as they found them.
std::string checkUnloadWithThreadsRunning(Report& report, Watchdog& watchdog, const char* check) {
    const DWORD freeSlot = firstFreeTlsSlot();
    ULONGLONG slowest = 0;
    for (int i = 1; i <= kCycles; ++i) {
        const std::string at = " (cycle " + std::to_string(i) + ")";
        Kest kest;
        if (std::string why = loadKest(kest); !why.empty()) return why + at;
        cycle.clear();
        kest.AddStateChangeHandler(recordState<cycle>);
        if (kest.GetState() != KEST_STATE_CLOSED || kest.Open(0, 0, 0) != KEST_NOT_DONE ||
            !cycle.waitForState(KEST_STATE_CLOSED, kPassWait)) {
            FreeLibrary(kest.module);
            return "the manager thread made no pass" + at;
        }
        const ULONGLONG took = unload(watchdog, check, kest, "FreeLibrary" + at);
        slowest = std::max(slowest, took);
        if (took >= kUnloadLimit) return "FreeLibrary took " + std::to_string(took) + " ms" + at;
        if (std::string why = checkGone(); !why.empty()) return why + at;
    }
    if (const DWORD slot = firstFreeTlsSlot(); slot != freeSlot) {
        return "the first free TLS slot was " + std::to_string(freeSlot) + " before the cycles, " +
               std::to_string(slot) + " after them";
    }
    report.note("slowest FreeLibrary of " + std::to_string(kCycles) +
                " with threads running: " + std::to_string(slowest) + " ms");
    return {};
}

// The threads may not have begun their routines: they wait for the loader lock.
std::string checkUnloadRightAfterLoad(Watchdog& watchdog, const char* check) {
    for (int i = 1; i <= kEarlyUnloads; ++i) {
        const std::string at = " (cycle " + std::to_string(i) + ")";
        Kest kest;
        if (std::string why = loadKest(kest); !why.empty()) return why + at;
        const ULONGLONG took = unload(watchdog, check, kest, "FreeLibrary" + at);
        if (took >= kUnloadLimit) return "FreeLibrary took " + std::to_string(took) + " ms" + at;
        if (std::string why = checkGone(); !why.empty()) return why + at;
    }
    return {};
}

// Threads the system ends asynchronously may take a moment to leave the list.
std::string checkThreadsGone(int threadsBefore) {
    const ULONGLONG deadline = GetTickCount64() + 2000;
    int threads = processThreadCount();
    while (threads > threadsBefore && GetTickCount64() < deadline) {
        Sleep(50);
        threads = processThreadCount();
    }
    if (threads <= threadsBefore) return {};
    return std::to_string(threads) + " threads after the unloads, " +
           std::to_string(threadsBefore) + " before the first load";
}

std::string checkExitWithRequestWaiting(Report& report) {
    WCHAR exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::string argument(kExitWithRequestArgument);
    std::wstring commandLine =
        L"\"" + std::wstring(exe) + L"\" " + std::wstring(argument.begin(), argument.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return "CreateProcessW failed with error " + std::to_string(GetLastError());
    }
    const ULONGLONG start = GetTickCount64();
    const DWORD ended = WaitForSingleObject(process.hProcess, kChildLimit);
    const ULONGLONG took = GetTickCount64() - start;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    if (ended != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (ended != WAIT_OBJECT_0) {
        return "the process did not end within " + std::to_string(kChildLimit) + " ms";
    }
    if (code != kChildExitCode) {
        return "exit code " + std::to_string(code) + ", expected " + std::to_string(kChildExitCode);
    }
    report.note("the process with a request waiting ran and exited in " + std::to_string(took) +
                " ms");
    return {};
}

}  // namespace

int processThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

void runUnloadChecks(Report& report, Watchdog& watchdog, Kest& loaded, int threadsBefore) {
    const char* const names[] = {"unload after use", "unload with both threads running, 1000 times",
                                 "unload right after load, 20 times",
                                 "no thread left after the unloads", "exit with a request waiting"};
    report.announce({std::begin(names), std::end(names)});
    report.run(names[0], [&] { return checkUnloadAfterUse(watchdog, names[0], loaded); });
    report.run(names[1], [&] { return checkUnloadWithThreadsRunning(report, watchdog, names[1]); });
    report.run(names[2], [&] { return checkUnloadRightAfterLoad(watchdog, names[2]); });
    report.run(names[3], [&] { return checkThreadsGone(threadsBefore); });
    report.run(names[4], [&] { return checkExitWithRequestWaiting(report); });
}

// The child: a request waits on another thread while the process exits with the library
// loaded. The exit must neither wait for the request nor for the library's threads.
int exitWithRequestWaiting() {
    static Kest kest;
    if (!loadKest(kest).empty()) return 2;
    kest.AddStatusMessageHandler(recordStatus<cycle>);
    const LPTHREAD_START_ROUTINE open = [](LPVOID) WINAPI -> DWORD {
        return static_cast<DWORD>(kest.Open(0, 0, 60));
    };
    HANDLE request = CreateThread(nullptr, 0, open, nullptr, 0, nullptr);
    if (request == nullptr) return 3;
    if (cycle.waitForStatus("Exception on power on", kPassWait) == Recorder::kNone) return 4;
    if (WaitForSingleObject(request, 0) != WAIT_TIMEOUT) return 5;
    return kChildExitCode;
}

}  // namespace wine_check

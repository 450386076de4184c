// The loader: reference counts, one lock around every DllMain call, and the thread notifications.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <host/devices.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

struct Entry {
    HANDLE module;
    DWORD reason;
    bool reserved;
    DWORD thread;
};

std::mutex entriesLock;
std::vector<Entry> entries;

// Set by a test: the process detach lets this thread go and waits for its end, as a library
// that stops its threads in DllMain would.
HANDLE threadToRelease = nullptr;
HANDLE releaseEvent = nullptr;
DWORD waitInDetach = 0;

std::vector<Entry> takeEntries() {
    std::lock_guard guard(entriesLock);
    return std::exchange(entries, {});
}

constexpr const char16_t* kName = u"\\Windows\\LoaderTest.dll";

class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        host::devices::setLibraryDirectory(LOADER_TEST_DIR);
        takeEntries();
    }
};

DWORD WINAPI waitForRelease(LPVOID event) {
    return WaitForSingleObject(event, INFINITE);
}

TEST_F(Loader, CountsReferencesAndAttachesAtTheFirstLoadAndDetachesAtTheLastFree) {
    EXPECT_EQ(GetModuleHandleW(kName), nullptr);
    const HMODULE module = LoadLibraryW(kName);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(LoadLibraryW(u"loadertest"), module) << "found by its name, counted twice";
    EXPECT_EQ(GetModuleHandleW(u"LOADERTEST.DLL"), module);
    std::vector<Entry> seen = takeEntries();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].module, module);
    EXPECT_EQ(seen[0].reason, static_cast<DWORD>(DLL_PROCESS_ATTACH));
    EXPECT_FALSE(seen[0].reserved) << "a dynamic load";

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_TRUE(takeEntries().empty()) << "one reference is left";
    EXPECT_EQ(GetModuleHandleW(kName), module);
    EXPECT_TRUE(FreeLibrary(module)) << "GetModuleHandleW took no reference";
    seen = takeEntries();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].reason, static_cast<DWORD>(DLL_PROCESS_DETACH));
    EXPECT_FALSE(seen[0].reserved) << "a FreeLibrary";
    EXPECT_EQ(GetModuleHandleW(kName), nullptr);
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(LoadLibraryW(u"nosuchlibrary.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Loader, AThreadAnnouncesItsStartAndEndToLibrariesThatDidNotDisableThem) {
    const HMODULE module = LoadLibraryW(kName);
    ASSERT_NE(module, nullptr);
    takeEntries();
    static DWORD entriesBeforeRoutine = 0;
    DWORD id = 0;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            std::lock_guard guard(entriesLock);
            entriesBeforeRoutine = static_cast<DWORD>(entries.size());
            return 0;
        },
        nullptr, 0, &id);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    std::vector<Entry> seen = takeEntries();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(entriesBeforeRoutine, 1u) << "the attach comes before the routine";
    EXPECT_EQ(seen[0].reason, static_cast<DWORD>(DLL_THREAD_ATTACH));
    EXPECT_EQ(seen[1].reason, static_cast<DWORD>(DLL_THREAD_DETACH));
    EXPECT_EQ(seen[0].thread, id) << "on the new thread";
    EXPECT_EQ(seen[1].thread, id);

    EXPECT_TRUE(DisableThreadLibraryCalls(module));
    thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_TRUE(takeEntries().empty());
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(DisableThreadLibraryCalls(module)) << "no longer loaded";
}

TEST_F(Loader, AThreadCannotEndWhileAnotherIsInsideADllMainEvenWithThreadCallsDisabled) {
    const HMODULE module = LoadLibraryW(kName);
    ASSERT_NE(module, nullptr);
    ASSERT_TRUE(DisableThreadLibraryCalls(module));
    releaseEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    threadToRelease = CreateThread(nullptr, 0, waitForRelease, releaseEvent, 0, nullptr);
    ASSERT_NE(threadToRelease, nullptr);

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(waitInDetach, WAIT_TIMEOUT) << "the thread's end waits for the loader lock";
    EXPECT_EQ(WaitForSingleObject(threadToRelease, 5000), WAIT_OBJECT_0)
        << "and ends once the detach has returned";
    CloseHandle(threadToRelease);
    CloseHandle(releaseEvent);
    threadToRelease = nullptr;
}

TEST_F(Loader, FreeLibraryAndExitThreadDropsTheThreadsReferenceAndEndsIt) {
    const HMODULE module = LoadLibraryW(kName);
    ASSERT_NE(module, nullptr);
    void* image = dlopen(LOADER_TEST_DIR "/libloadertest.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(image, nullptr);
    auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(dlsym(image, "unloadAndExit"));
    dlclose(image);
    ASSERT_NE(routine, nullptr);
    takeEntries();

    HANDLE thread = CreateThread(nullptr, 0, routine, module, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u) << "the code given to FreeLibraryAndExitThread";
    CloseHandle(thread);
    const std::vector<Entry> seen = takeEntries();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].reason, static_cast<DWORD>(DLL_THREAD_ATTACH));
    EXPECT_EQ(seen[1].reason, static_cast<DWORD>(DLL_PROCESS_DETACH)) << "the last reference";
    EXPECT_EQ(GetModuleHandleW(kName), nullptr);
}

// A thread made inside a DllMain cannot begin before the loader lock is free: until then it can
// be ended, and then never runs its routine.
std::atomic<bool> routineRan{false};
DWORD WINAPI markRan(LPVOID) {
    routineRan = true;
    return 0;
}
std::atomic<bool> wokeFromSleep{false};
DWORD WINAPI sleepForEver(LPVOID started) {
    SetEvent(started);
    Sleep(INFINITE);
    wokeFromSleep = true;
    return 0;
}
bool terminateInDetach = false;
HANDLE threadMadeInDetach = nullptr;
BOOL terminatedInDetach = FALSE;

TEST_F(Loader, ATerminatedThreadRunsNothingOfItsRoutineOnceTheCallReturns) {
    const HMODULE module = LoadLibraryW(kName);
    ASSERT_NE(module, nullptr);
    terminateInDetach = true;
    EXPECT_TRUE(FreeLibrary(module));
    terminateInDetach = false;
    EXPECT_TRUE(terminatedInDetach);
    ASSERT_EQ(WaitForSingleObject(threadMadeInDetach, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(threadMadeInDetach, &code));
    EXPECT_EQ(code, 9u);
    EXPECT_FALSE(routineRan);
    CloseHandle(threadMadeInDetach);

    // One that has begun is only waited for until it has left its routine.
    HANDLE running = CreateThread(nullptr, 0, markRan, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(running, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(TerminateThread(running, 9));
    EXPECT_TRUE(routineRan);
    EXPECT_TRUE(GetExitCodeThread(running, &code));
    EXPECT_EQ(code, 0u) << "the routine's own code";
    CloseHandle(running);
    routineRan = false;

    // One asleep for ever is ended there, with the code given, and runs nothing after the sleep.
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE asleep = CreateThread(nullptr, 0, sleepForEver, started, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(started, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(TerminateThread(asleep, 7));
    ASSERT_EQ(WaitForSingleObject(asleep, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(asleep, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_FALSE(wokeFromSleep);
    CloseHandle(asleep);
    CloseHandle(started);
}

}  // namespace

extern "C" void recordEntry(HANDLE module, DWORD reason, LPVOID reserved) {
    {
        std::lock_guard guard(entriesLock);
        entries.push_back({module, reason, reserved != nullptr, GetCurrentThreadId()});
    }
    if (reason == DLL_PROCESS_DETACH && terminateInDetach) {
        threadMadeInDetach = CreateThread(nullptr, 0, markRan, nullptr, 0, nullptr);
        terminatedInDetach = TerminateThread(threadMadeInDetach, 9);
    }
    if (reason == DLL_PROCESS_DETACH && threadToRelease != nullptr) {
        SetEvent(releaseEvent);
        waitInDetach = WaitForSingleObject(threadToRelease, 200);
    }
}

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

namespace {

DWORD WINAPI returnParameter(LPVOID p) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p)); }

TEST(Thread, HandleSignalledAtExitWithItsCode) {
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, returnParameter, reinterpret_cast<LPVOID>(42), 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "stays signalled";
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(thread);
}

TEST(Thread, ExitCodeIsStillActiveWhileRunning) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID p) -> DWORD { return WaitForSingleObject(p, INFINITE); }, release,
        0, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    SetEvent(release);
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(release);
}

TEST(Thread, ClosingTheHandleEarlyLetsTheThreadFinish) {
    static std::atomic<bool> ran{false};
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            ran = true;
            SetEvent(p);
            return 0;
        },
        done, 0, nullptr);
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(ran);
    CloseHandle(done);
}

TEST(Thread, LastErrorIsPerThread) {
    SetLastError(1234);
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            const DWORD seen = GetLastError();
            SetLastError(99);
            return seen;
        },
        nullptr, 0, nullptr);
    WaitForSingleObject(thread, 5000);
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, 0u) << "a new thread starts with no error";
    EXPECT_EQ(GetLastError(), 1234u);
    CloseHandle(thread);
}

TEST(Thread, RefusesMissingRoutine) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace

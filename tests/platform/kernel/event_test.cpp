#include <gtest/gtest.h>
#include <host/handles.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Runs a routine on a platform thread and gives back its handle.
template <class F>
HANDLE startThread(F& routine) {
    return CreateThread(
        nullptr, 0, [](LPVOID p) -> DWORD { return (*static_cast<F*>(p))(); }, &routine, 0,
        nullptr);
}

// Returns once `count` threads are blocked in a wait on the handle.
void waitUntilBlocked(HANDLE handle, std::size_t count) {
    while (host::waiterCount(handle) < count) std::this_thread::sleep_for(1ms);
}

TEST(Event, InitialStateAndManualReset) {
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(manual, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "manual reset stays signalled";
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(manual));
}

TEST(Event, AutoResetReleasesOneWait) {
    HANDLE automatic = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(EventModify(automatic, EVENT_SET));
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "the wait consumed the signal";
    CloseHandle(automatic);
}

TEST(Event, TimeoutWaitsAtLeastItsTime) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const DWORD start = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(event, 30), WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount() - start, 29u);
    CloseHandle(event);
}

TEST(Event, SetWakesABlockedWaiter) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> result{0xDEAD};
    auto waiter = [&]() -> DWORD {
        result = WaitForSingleObject(event, INFINITE);
        return 0;
    };
    HANDLE thread = startThread(waiter);
    waitUntilBlocked(event, 1);
    SetEvent(event);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    CloseHandle(thread);
    CloseHandle(event);
}

TEST(Event, PulseOfManualResetEventReleasesEveryWaiterAndStaysReset) {
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> released{0};
    auto waiter = [&]() -> DWORD {
        if (WaitForSingleObject(manual, 5000) == WAIT_OBJECT_0) ++released;
        return 0;
    };
    HANDLE a = startThread(waiter);
    HANDLE b = startThread(waiter);
    waitUntilBlocked(manual, 2);
    PulseEvent(manual);
    ASSERT_EQ(WaitForSingleObject(a, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(b, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT) << "a pulse leaves the event reset";
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(manual);
}

TEST(Event, PulseOfAutoResetEventReleasesOneOfTwoWaiters) {
    HANDLE automatic = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> released{0};
    auto waiter = [&]() -> DWORD {
        if (WaitForSingleObject(automatic, 200) == WAIT_OBJECT_0) ++released;
        return 0;
    };
    HANDLE a = startThread(waiter);
    HANDLE b = startThread(waiter);
    waitUntilBlocked(automatic, 2);
    PulseEvent(automatic);
    WaitForSingleObject(a, 5000);
    WaitForSingleObject(b, 5000);
    EXPECT_EQ(released.load(), 1);
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(automatic);
}

TEST(Wait, MultipleObjectsReportsTheFirstSignalled) {
    HANDLE events[3];
    for (HANDLE& e : events) e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 10), WAIT_TIMEOUT);
    for (HANDLE e : events) CloseHandle(e);
}

TEST(Wait, WakesOnAnyOfSeveralObjects) {
    HANDLE events[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                        CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<DWORD> result{0xDEAD};
    auto waiter = [&]() -> DWORD {
        result = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        return 0;
    };
    HANDLE thread = startThread(waiter);
    SetEvent(events[1]);
    ASSERT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(result.load(), WAIT_OBJECT_0 + 1);
    CloseHandle(thread);
    for (HANDLE e : events) CloseHandle(e);
}

TEST(Wait, BadArgumentsFail) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(0, &event, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(1, &event, TRUE, 0), WAIT_FAILED) << "wait-all is not offered";
    HANDLE bogus = reinterpret_cast<HANDLE>(0x12345);
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED) << "a closed handle names nothing";
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_FALSE(EventModify(nullptr, EVENT_SET));
}

TEST(Handles, CountedUntilClosed) {
    const std::size_t before = host::liveHandleCount();
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(host::liveHandleCount(), before + 2);
    CloseHandle(a);
    CloseHandle(b);
    EXPECT_EQ(host::liveHandleCount(), before);
}

TEST(Handles, FreedValuesComeBackMostRecentlyFreedFirst) {
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(a));
    ASSERT_TRUE(CloseHandle(b));
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(first, b);
    EXPECT_EQ(second, a);
    // The reused value names the new object only: b was signalled, its successor is not.
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(first);
    CloseHandle(second);
}

}  // namespace

#include <gtest/gtest.h>
#include <kest.h>

#include <atomic>
#include <climits>
#include <future>
#include <thread>
#include <vector>

#include "application_recorder.h"
#include "attached_library.h"
#include "manager/device_manager.h"
#include "wait_until.h"

namespace {

using kest::DeviceManager;
using kest_test::ApplicationRecorder;
using kest_test::AttachedLibrary;
using kest_test::waitUntil;

constexpr char kTimedOut[] = "Request timed out.";
constexpr char kBusy[] = "Request already in progress.";

// Without a peripheral the ready state can never be reached: a request for it waits out its
// time unless something else changes requestedState.
constexpr DWORD kUnreachable = KEST_STATE_READY;

class Request : public ::testing::Test {
  protected:
    DeviceManager& manager() { return library.manager(); }

    // Starts a request on its own thread and returns once it has armed its wait; the
    // generation of the request before it is left in previousGeneration.
    std::future<int> startWaiting(std::int32_t waitMs) {
        previousGeneration = manager().requestGeneration.load();
        auto result = std::async(std::launch::async,
                                 [this, waitMs] { return manager().submitRequest(waitMs); });
        EXPECT_TRUE(
            waitUntil([this] { return manager().requestGeneration.load() != previousGeneration; }));
        return result;
    }

    std::uint32_t previousGeneration = 0;

    AttachedLibrary library;
    ApplicationRecorder application;
};

TEST_F(Request, IsFulfilledByTheNextPassWhenTheStateAlreadyMatches) {
    EXPECT_EQ(manager().submitRequest(10000), kest::kRequestFulfilled);
    EXPECT_EQ(manager().requestResult.load(), 0);
    EXPECT_EQ(manager().requestPending.load(), 0);
    EXPECT_EQ(application.statusCount(kTimedOut), 0);
}

TEST_F(Request, TimesOutWithAStatusWhenTheStateIsNotReached) {
    manager().requestedState = kUnreachable;
    EXPECT_EQ(manager().submitRequest(30), kest::kRequestTimedOut);
    EXPECT_EQ(application.statusCount(kTimedOut), 1);
    EXPECT_EQ(manager().requestResult.load(), 1);
    EXPECT_EQ(manager().requestPending.load(), 0) << "the next request may wait";
    EXPECT_EQ(manager().submitRequest(1), kest::kRequestTimedOut);
    EXPECT_EQ(application.statusCount(kTimedOut), 2);
}

TEST_F(Request, AZeroWaitNeverReportsATimeOut) {
    manager().requestedState = kUnreachable;
    EXPECT_EQ(manager().submitRequest(0), kest::kRequestTimedOut);
    EXPECT_EQ(application.statusCount(kTimedOut), 0);
}

TEST_F(Request, ANegativeWaitIsPracticallyUnboundedAndNeverReportsATimeOut) {
    manager().requestedState = kUnreachable;
    std::future<int> waiting = startWaiting(kest::timeoutMilliseconds(-1));
    // Only a change of the requested state ends it.
    manager().requestedState = KEST_STATE_CLOSED;
    EventModify(manager().wakeEvent, EVENT_SET);
    EXPECT_EQ(waiting.get(), kest::kRequestFulfilled);
    EXPECT_EQ(application.statusCount(kTimedOut), 0);
}

TEST_F(Request, ASecondRequestGetsBusyButItsSettingsTakeEffect) {
    manager().requestedState = kUnreachable;
    std::future<int> first = startWaiting(-1);

    EXPECT_EQ(KEST_Open(1, 0, 7), KEST_BUSY);
    EXPECT_EQ(application.statusCount(kBusy), 1);
    EXPECT_EQ(manager().versionRequested.load(), 1);
    EXPECT_EQ(manager().downloadRequested.load(), 0);
    EXPECT_EQ(manager().timeoutSeconds.load(), 7);

    // The close the second caller asked for is what the first caller's wait now ends on.
    EXPECT_EQ(KEST_Close(), KEST_BUSY);
    EventModify(manager().wakeEvent, EVENT_SET);  // a busy request does not wake the manager
    EXPECT_EQ(first.get(), kest::kRequestFulfilled);
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_CLOSED));
}

TEST_F(Request, RacingCallersNeverWaitTogether) {
    manager().requestedState = kUnreachable;
    constexpr int kCallers = 8;
    std::atomic<int> ready{0};
    std::vector<std::future<int>> results;
    for (int i = 0; i < kCallers; ++i) {
        results.push_back(std::async(std::launch::async, [&] {
            ready.fetch_add(1);
            while (ready.load() < kCallers) std::this_thread::yield();
            return manager().submitRequest(-1);
        }));
    }
    // Every caller but the one that waits returns at once with busy.
    EXPECT_TRUE(waitUntil([&] { return application.statusCount(kBusy) == kCallers - 1; }));
    manager().requestedState = KEST_STATE_CLOSED;
    EventModify(manager().wakeEvent, EVENT_SET);
    int fulfilled = 0;
    int busy = 0;
    for (auto& result : results) {
        const int code = result.get();
        fulfilled += code == kest::kRequestFulfilled;
        busy += code == kest::kRequestBusy;
    }
    EXPECT_EQ(fulfilled, 1);
    EXPECT_EQ(busy, kCallers - 1);
}

TEST_F(Request, ACompletionMeantForAnEarlierRequestDoesNotFulfilTheNextOne) {
    manager().requestedState = kUnreachable;
    std::future<int> waiting = startWaiting(200);
    // What the manager does when its check passed for the previous request just before that
    // caller gave up: it records the old generation and sets the event.
    manager().fulfilledGeneration = previousGeneration;
    EventModify(manager().requestDoneEvent, EVENT_SET);
    EXPECT_EQ(waiting.get(), kest::kRequestTimedOut);
    EXPECT_EQ(application.statusCount(kTimedOut), 1);
}

TEST_F(Request, AWaitWokenByAStaleCompletionIsStillFulfilledLater) {
    manager().requestedState = kUnreachable;
    std::future<int> waiting = startWaiting(-1);
    manager().fulfilledGeneration = previousGeneration;
    EventModify(manager().requestDoneEvent, EVENT_SET);
    manager().requestedState = KEST_STATE_CLOSED;
    EventModify(manager().wakeEvent, EVENT_SET);
    EXPECT_EQ(waiting.get(), kest::kRequestFulfilled);
}

TEST(TimeoutMilliseconds, IsASigned32BitProductThatWraps) {
    using kest::timeoutMilliseconds;
    EXPECT_EQ(timeoutMilliseconds(0), 0);
    EXPECT_EQ(timeoutMilliseconds(10), 10000);
    EXPECT_EQ(timeoutMilliseconds(-1), -1000);
    EXPECT_EQ(timeoutMilliseconds(2147483), 2147483000);
    EXPECT_EQ(timeoutMilliseconds(2147484), -2147483296);
    EXPECT_EQ(timeoutMilliseconds(INT_MAX), -1000);
    EXPECT_EQ(timeoutMilliseconds(INT_MIN), 0);
}

}  // namespace

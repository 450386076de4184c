// DRX_Read and DRX_Write over the recording fake: chunks, short and zero-length completions,
// retries, time-outs, pipe recovery and sensor resets.
#include <gtest/gtest.h>
#include <host/handles.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "driver_fixture.h"
#include "transfer.h"

namespace {

// Held, the driver's clock stands still: a call's elapsed time is then exactly 0 however long
// its transfers wait. Released, it runs as the platform's.
std::atomic<bool> clockHeld{false};
std::atomic<DWORD> heldTick{0};

DWORD HostTick() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

// Defined in this program, it takes the place of the platform's for the driver's objects linked
// in here; the platform itself never reads the tick count.
extern "C" DWORD WINAPI GetTickCount(void) {
    return clockHeld ? heldTick.load() : HostTick();
}

namespace {

using namespace dermo_test;
using Outcome = FakeUsb::BulkOutcome;

constexpr DWORD kFailed = 0xFFFFFFFF;
constexpr DWORD kReadFlags = USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK;

class BulkTransferTest : public DriverTest {
  protected:
    static std::vector<DWORD> Sizes() {
        std::vector<DWORD> sizes;
        for (const auto& call : fakeUsb.bulkCalls) sizes.push_back(call.size);
        return sizes;
    }
    static Outcome Stall() { return {0, USB_STALL_ERROR}; }
    static Outcome Moves(DWORD bytes) { return {bytes}; }
    static Outcome Never() { return {0, USB_NO_ERROR, false}; }

    void TearDown() override {
        clockHeld = false;
        DriverTest::TearDown();
    }
    static void HoldClock() {
        heldTick = HostTick();
        clockHeld = true;
    }

    std::vector<BYTE> buffer = std::vector<BYTE>(20000);
};

TEST_F(BulkTransferTest, AReadIsCutIntoChunksStraightIntoTheCallersBuffer) {
    OpenContext* open = AttachAndOpen();
    EXPECT_EQ(Read(open, buffer.data(), 10000), 10000u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(Sizes(), (std::vector<DWORD>{4096, 4096, 1808}));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(fakeUsb.bulkCalls[i].pipe, FakeUsb::bulkInPipe());
        EXPECT_EQ(fakeUsb.bulkCalls[i].flags, kReadFlags);
        EXPECT_EQ(fakeUsb.bulkCalls[i].buffer, buffer.data() + 4096 * i);
    }
    EXPECT_EQ(buffer[9999], FakeUsb::kInData);
    EXPECT_EQ(buffer[10000], 0);
}

TEST_F(BulkTransferTest, AWriteGoesOutOnBulkOutWithItsOwnChunkSize) {
    SetDriverKeyDword(u"MaxBulkWriteSize", 1000);  // cut to 960
    OpenContext* open = AttachAndOpen();
    EXPECT_EQ(Write(open, buffer.data(), 2000), 2000u);
    EXPECT_EQ(Sizes(), (std::vector<DWORD>{960, 960, 80}));
    EXPECT_EQ(fakeUsb.bulkCalls[0].pipe, FakeUsb::bulkOutPipe());
    EXPECT_EQ(fakeUsb.bulkCalls[0].flags, 0u);
}

TEST_F(BulkTransferTest, AShortCompletionAdvancesByWhatItMoved) {
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {Moves(1000), Moves(4000)};
    EXPECT_EQ(Read(open, buffer.data(), 10000), 10000u);
    EXPECT_EQ(Sizes(), (std::vector<DWORD>{4096, 4096, 4096, 904}));
    EXPECT_EQ(fakeUsb.bulkCalls[1].buffer, buffer.data() + 1000);
    EXPECT_EQ(fakeUsb.bulkCalls[2].buffer, buffer.data() + 5000);
}

TEST_F(BulkTransferTest, WithoutRetriesAZeroLengthCompletionEndsTheCallWithWhatMoved) {
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {Moves(4096), Moves(0)};
    SetLastError(1234);
    EXPECT_EQ(Read(open, buffer.data(), 10000), 4096u);
    EXPECT_EQ(GetLastError(), 0u);
    fakeUsb.bulkOutcomes = {Moves(0)};
    EXPECT_EQ(Read(open, buffer.data(), 10000), 0u);
    EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(BulkTransferTest, EachRetryAfterAZeroLengthCompletionHalvesTheChunk) {
    SetDriverKeyDword(u"BulkRetryNumber", 2);
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {Moves(0), Moves(0), Moves(0)};
    EXPECT_EQ(Read(open, buffer.data(), 10000), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(Sizes(), (std::vector<DWORD>{4096, 2048, 1024}));
    // The next call starts again from the whole chunk and the device's retries.
    fakeUsb.bulkCalls.clear();
    EXPECT_EQ(Read(open, buffer.data(), 5000), 5000u);
    EXPECT_EQ(Sizes(), (std::vector<DWORD>{4096, 904}));
}

TEST_F(BulkTransferTest, TheChunkNeverFallsBelowSixtyFourBytes) {
    SetDriverKeyDword(u"MaxBulkReadSize", 64);
    SetDriverKeyDword(u"BulkRetryNumber", 3);
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {Moves(0), Moves(0), Moves(0)};
    EXPECT_EQ(Read(open, buffer.data(), 200), 200u);
    EXPECT_EQ(Sizes(), (std::vector<DWORD>{64, 64, 64, 64, 64, 64, 8}));
}

TEST_F(BulkTransferTest, ATimeOutWithLessThanTwentyMillisecondsLeftIsNotRecovered) {
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {Stall()};
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    ASSERT_EQ(Context()->failureCount, 1u);
    fakeUsb.clearFeatureCalls.clear();

    ASSERT_TRUE(SetTimeouts(open, 10, 0, 0));
    fakeUsb.bulkOutcomes = {Never()};
    const DWORD start = GetTickCount();
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_TIMEOUT});
    EXPECT_GE(GetTickCount() - start, 10u);
    EXPECT_TRUE(fakeUsb.clearFeatureCalls.empty());
    EXPECT_EQ(Context()->failureCount, 0u);
    EXPECT_EQ(fakeUsb.disableCalls, 0);
}

// With the clock held the transfer is given exactly 20 ms, and that is still worth a recovery.
TEST_F(BulkTransferTest, ATimeOutWithTwentyMillisecondsLeftRecoversThePipe) {
    OpenContext* open = AttachAndOpen();
    ASSERT_TRUE(SetTimeouts(open, 20, 0, 0));
    fakeUsb.bulkOutcomes = {Never()};
    fakeUsb.failHaltQuery = true;  // so that the recovery goes as far as the clear-halt request
    HoldClock();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_TIMEOUT});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_EQ(Context()->failureCount, 1u);
    EXPECT_EQ(fakeUsb.clearFeatureCalls.size(), 1u);
}

// A call that times out after moving bytes returns them and leaves the last error as it was,
// whether its deadline passed between two transfers or a transfer timed out; bytes that a
// timed-out transfer itself moved count too. Only a call that moved nothing is a time-out.
TEST_F(BulkTransferTest, ACallThatTimesOutAfterMovingBytesReturnsThem) {
    OpenContext* open = AttachAndOpen();
    ASSERT_TRUE(SetTimeouts(open, 30, 30, 0));
    fakeUsb.bulkOutcomes = {{4096, USB_NO_ERROR, true, 40}};
    SetLastError(1234);
    EXPECT_EQ(Read(open, buffer.data(), 10000), 4096u);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(fakeUsb.bulkCalls.size(), 1u);  // the second transfer was never issued
    EXPECT_EQ(Context()->failureCount, 0u);

    // Held, the clock leaves each transfer below its whole time-out, however busy the machine.
    HoldClock();
    fakeUsb.bulkOutcomes = {Moves(1136), Never()};
    EXPECT_EQ(Write(open, buffer.data(), 7000), 1136u);
    EXPECT_EQ(GetLastError(), 1234u);
    fakeUsb.bulkOutcomes = {{.bytes = 3000, .notifies = false}};
    EXPECT_EQ(Read(open, buffer.data(), 7000), 3000u);
    EXPECT_EQ(GetLastError(), 1234u);

    fakeUsb.bulkOutcomes = {Never()};
    EXPECT_EQ(Read(open, buffer.data(), 7000), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_TIMEOUT});
}

TEST_F(BulkTransferTest, ThreeCallsFailingInARowResetTheSensorOnTheThird) {
    OpenContext* open = AttachAndOpen();
    for (DWORD call = 1; call <= 3; ++call) {
        fakeUsb.bulkOutcomes = {Stall()};
        EXPECT_EQ(Write(open, buffer.data(), 100), kFailed) << call;
        EXPECT_EQ(GetLastError(), DWORD{ERROR_GEN_FAILURE}) << call;
        EXPECT_EQ(fakeUsb.disableCalls, call == 3 ? 1 : 0) << call;
        EXPECT_EQ(Context()->failureCount, call == 3 ? 0u : call) << call;
    }
    // Reads and writes count together, and a success clears the count.
    fakeUsb.bulkOutcomes = {Stall()};
    Read(open, buffer.data(), 100);
    EXPECT_EQ(Context()->failureCount, 1u);
    EXPECT_EQ(Write(open, buffer.data(), 100), 100u);
    EXPECT_EQ(Context()->failureCount, 0u);
}

TEST_F(BulkTransferTest, AHaltedPipeIsResetAndTheHaltClearedWithEndpointIndexZero) {
    SetDriverKeyDword(u"BulkRetryNumber", 1);
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {Stall()};
    EXPECT_EQ(Read(open, buffer.data(), 100), 100u);  // the retry succeeds
    EXPECT_EQ(fakeUsb.resetPipes, (std::vector<USB_PIPE>{FakeUsb::bulkInPipe()}));
    ASSERT_EQ(fakeUsb.clearFeatureCalls.size(), 1u);
    EXPECT_EQ(fakeUsb.clearFeatureCalls[0].flags, DWORD{USB_SEND_TO_ENDPOINT | USB_NO_WAIT});
    EXPECT_EQ(fakeUsb.clearFeatureCalls[0].feature, 0);  // ENDPOINT_HALT
    EXPECT_EQ(fakeUsb.clearFeatureCalls[0].index, 0);    // not the endpoint's address
    EXPECT_EQ(Sizes(), (std::vector<DWORD>{100, 100}));
    EXPECT_EQ(Context()->failureCount, 0u);
}

TEST_F(BulkTransferTest, APipeThatIsNotHaltedNeedsNoRecovery) {
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {{0, USB_DEVICE_NOT_RESPONDING_ERROR}};
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_GEN_FAILURE});
    EXPECT_TRUE(fakeUsb.resetPipes.empty());
    EXPECT_TRUE(fakeUsb.clearFeatureCalls.empty());
    EXPECT_EQ(Context()->failureCount, 1u);
}

TEST_F(BulkTransferTest, AnUnansweredHaltQueryCountsAsHalted) {
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {{0, USB_DEVICE_NOT_RESPONDING_ERROR}};
    fakeUsb.failHaltQuery = true;
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(fakeUsb.clearFeatureCalls.size(), 1u);
}

TEST_F(BulkTransferTest, AFailedRecoveryResetsTheSensorAtOnce) {
    SetDriverKeyDword(u"BulkRetryNumber", 4);
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {Stall()};
    fakeUsb.clearFeatureStatus = USB_STALL_ERROR;
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_GEN_FAILURE});
    EXPECT_EQ(fakeUsb.disableCalls, 1);
    EXPECT_EQ(fakeUsb.bulkCalls.size(), 1u);  // no retry after a reset
    EXPECT_EQ(Context()->failureCount, 0u);
}

TEST_F(BulkTransferTest, WithoutSuspendSupportTheResetRecoversTheDefaultPipeInstead) {
    fakeUsb.funcs.lpSuspendDevice = nullptr;
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {Stall()};
    fakeUsb.clearFeatureStatus = USB_STALL_ERROR;
    fakeUsb.defaultPipeHalted = true;
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(fakeUsb.disableCalls, 0);
    EXPECT_EQ(fakeUsb.defaultPipeResets, 1);
}

TEST_F(BulkTransferTest, AFailedStatusQueryIsAFailedTransfer) {
    OpenContext* open = AttachAndOpen();
    fakeUsb.failTransferStatus = true;
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_GEN_FAILURE});
    EXPECT_EQ(Context()->failureCount, 1u);
}

TEST_F(BulkTransferTest, ARefusedTransferReportsTheStacksErrorOrAGeneralFailure) {
    OpenContext* open = AttachAndOpen();
    Outcome refused{0, USB_NO_ERROR, true, 0, false, true};
    fakeUsb.bulkOutcomes = {refused};
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_DEVICE_NOT_CONNECTED});
    // A refusal that leaves no last error is still a failure, not an empty completion.
    refused.refusedError = ERROR_SUCCESS;
    fakeUsb.bulkOutcomes = {refused};
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_GEN_FAILURE});
    fakeUsb.bulkOutcomes = {refused};
    EXPECT_EQ(Write(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_GEN_FAILURE});
}

// Whole calls on one pipe take turns, as they share its completion event; a write has a pipe of
// its own and goes alongside a read; and the time a read waits for its turn counts against its
// deadline.
TEST_F(BulkTransferTest, ReadsOnOnePipeTakeTurnsAndAWriteGoesAlongside) {
    OpenContext* first = AttachAndOpen();
    OpenContext* second = OpenDirect();
    ASSERT_TRUE(SetTimeouts(first, 300, 0, 0));
    ASSERT_TRUE(SetTimeouts(second, 50, 0, 0));
    fakeUsb.bulkOutcomes = {Never()};
    std::thread reader([&] {
        std::vector<BYTE> own(100);
        EXPECT_EQ(Read(first, own.data(), 100), kFailed);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_TIMEOUT});
    });
    const HANDLE completion = Context()->bulkIn.completionEvent;
    ASSERT_TRUE(WaitForWaiter(completion));
    EXPECT_EQ(Write(second, buffer.data(), 100), 100u);
    EXPECT_EQ(host::waiterCount(completion), 1u);  // the first read still waits

    // Its turn comes when the first read times out, after more than its own 50 ms.
    EXPECT_EQ(Read(second, buffer.data(), 100), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_TIMEOUT});
    reader.join();
    EXPECT_EQ(fakeUsb.bulkCalls.size(), 2u);  // the first read's and the write's
}

TEST_F(BulkTransferTest, TimeOutPerRequestBoundsEachTransferInsteadOfTheCall) {
    SetDriverKeyDword(u"TimeoutPerRequest", 1);
    OpenContext* open = AttachAndOpen();
    DWORD flag = 0;
    const DWORD query[] = {SENSOR_PROPERTY_TIMEOUT_PER_REQUEST, 0};
    ASSERT_TRUE(Control(open, IOCTL_SENSOR_EXT_GET_PROPERTY, query, sizeof query, &flag, 4));
    EXPECT_EQ(flag, 1u);

    // Four transfers of 20 ms each under a 30 ms time-out: 80 ms in all.
    ASSERT_TRUE(SetTimeouts(open, 30, 0, 0));
    const Outcome slow{FakeUsb::kAll, USB_NO_ERROR, true, 20};
    fakeUsb.bulkOutcomes = {slow, slow, slow, slow};
    EXPECT_EQ(Read(open, buffer.data(), 4 * 4096), 4u * 4096);

    // Cleared on this handle, the same time-out is the whole call's deadline: the call ends
    // after the first or second transfer, with what they moved.
    const DWORD clear[] = {SENSOR_PROPERTY_TIMEOUT_PER_REQUEST, 0, 0};
    ASSERT_TRUE(Control(open, IOCTL_SENSOR_EXT_SET_PROPERTY, clear, sizeof clear, nullptr, 0));
    ASSERT_TRUE(Control(open, IOCTL_SENSOR_EXT_GET_PROPERTY, query, sizeof query, &flag, 4));
    EXPECT_EQ(flag, 0u);
    fakeUsb.bulkOutcomes = {slow, slow, slow, slow};
    const DWORD moved = Read(open, buffer.data(), 4 * 4096);
    EXPECT_GE(moved, 4096u);
    EXPECT_LT(moved, 4u * 4096);
}

TEST_F(BulkTransferTest, InvalidHandlesAreRefusedWithTheirOwnResults) {
    OpenContext* open = AttachAndOpen();
    DRX_Close(Handle(open));
    SetLastError(1234);
    EXPECT_EQ(Read(open, buffer.data(), 10), kFailed);
    EXPECT_EQ(Write(open, buffer.data(), 10), 0u);
    EXPECT_EQ(DRX_Write(0, buffer.data(), 10), 0u);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_TRUE(fakeUsb.bulkCalls.empty());
}

TEST_F(BulkTransferTest, NoBufferOrNoBytesIsAnInvalidParameter) {
    OpenContext* open = AttachAndOpen();
    EXPECT_EQ(Read(open, nullptr, 10), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Write(open, buffer.data(), 0), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    // Counts that do not fit a positive 32-bit signed number.
    EXPECT_EQ(Read(open, buffer.data(), 0x80000000u), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Write(open, buffer.data(), 0xFFFFFFFFu), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(fakeUsb.bulkCalls.empty());
    // The largest count that fits is taken (and, with nothing arriving, times out).
    ASSERT_TRUE(SetTimeouts(open, 10, 0, 0));
    fakeUsb.bulkOutcomes = {Never()};
    EXPECT_EQ(Read(open, buffer.data(), 0x7FFFFFFFu), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_TIMEOUT});
}

TEST_F(BulkTransferTest, ADetachedSensorIssuesNothing) {
    OpenContext* open = AttachAndOpen();
    const HANDLE idle = Context()->idleEvent;
    StartUnplug();
    for (int i = 0; i < 100000 && host::waiterCount(idle) == 0; ++i) std::this_thread::yield();
    ASSERT_EQ(host::waiterCount(idle), 1u);
    EXPECT_EQ(Read(open, buffer.data(), 10), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_READY});
    EXPECT_EQ(Write(open, buffer.data(), 10), kFailed);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_READY});
    EXPECT_TRUE(fakeUsb.bulkCalls.empty());
    DRX_Close(Handle(open));
    notifier.join();
}

// The stack's exception ends the call, and the pipe's lock is free again for another thread.
TEST_F(BulkTransferTest, AnExceptionInsideTheLoopReleasesThePipesLock) {
    OpenContext* open = AttachAndOpen();
    fakeUsb.bulkOutcomes = {{0, USB_NO_ERROR, true, 0, true}};
    EXPECT_EQ(Read(open, buffer.data(), 100), kFailed);
    EXPECT_EQ(GetLastError(), 0xE06D7363u);
    BOOL free = FALSE;
    std::thread other([&] {
        free = TryEnterCriticalSection(&Context()->bulkIn.lock);
        if (free) LeaveCriticalSection(&Context()->bulkIn.lock);
    });
    other.join();
    EXPECT_TRUE(free);
}

TEST_F(BulkTransferTest, TheCompletionRoutineSetsItsEventOrReportsAMissingOne) {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(TransferComplete(event), 0u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
    EXPECT_EQ(TransferComplete(nullptr), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

}  // namespace

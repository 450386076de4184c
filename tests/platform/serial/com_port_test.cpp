// The COM driver's semantics over an unpaced simulated line: time-outs, comm events, errors,
// and the calls that must work while another thread is blocked on the same handle.
#include <gtest/gtest.h>
#include <host/handles.h>
#include <host/registry.h>
#include <host/serial.h>

#include "serial_test_support.h"

namespace {

using namespace serial_test;

std::span<const std::uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

class ComPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::registry::reset();
        handlesAtStart_ = host::liveHandleCount();
        line_ = host::serial::createSimulatedLine();
        ASSERT_TRUE(line_->activate(5));
        port_ = openCom(u"COM5:");
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
        line_->deactivate();
        EXPECT_EQ(host::liveHandleCount(), handlesAtStart_);
    }
    std::string peerRead(std::size_t count) {
        std::string out(count, '\0');
        std::size_t got = 0;
        while (got < count) {
            const std::size_t n = line_->read(
                {reinterpret_cast<std::uint8_t*>(out.data()) + got, count - got}, kBound);
            if (n == 0) break;
            got += n;
        }
        return out.substr(0, got);
    }

    std::shared_ptr<host::serial::SimulatedLine> line_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::size_t handlesAtStart_ = 0;
};

TEST_F(ComPortTest, OnlyOneHandleAtATime) {
    EXPECT_EQ(openCom(u"COM5:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(CloseHandle(port_));
    port_ = openCom(u"com5:");
    EXPECT_NE(port_, INVALID_HANDLE_VALUE);
}

TEST_F(ComPortTest, TimeoutsAreKeptPerHandle) {
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(port_, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    setTimeouts(port_, 3, 0, 0, 3, 0);
    ASSERT_TRUE(GetCommTimeouts(port_, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 3u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 3u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
}

TEST_F(ComPortTest, MaxdwordIntervalWithoutTotalsReturnsAtOnce) {
    setTimeouts(port_, MAXDWORD, 0, 0);
    ReadResult r = readFrom(port_, 32);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "");
    line_->write(bytesOf("abc"));
    r = readFrom(port_, 32);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "abc");
}

TEST_F(ComPortTest, IntervalOfThreeWaitsForTheFirstByteWithoutLimit) {
    setTimeouts(port_, 3, 0, 0);
    auto reader = async([&] { return readFrom(port_, 32); });
    // No total time-out: the read is still waiting well after any interval would have passed.
    EXPECT_FALSE(ready(reader, 50ms));
    line_->write(bytesOf("hello"));
    ASSERT_TRUE(ready(reader));
    const ReadResult r = reader.get();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "hello");
}

TEST_F(ComPortTest, IntervalReadReturnsAFullBufferAndLeavesTheRest) {
    setTimeouts(port_, 3, 0, 0);
    const std::string data(40, 'x');
    line_->write(bytesOf(data));
    EXPECT_EQ(readFrom(port_, 32).bytes.size(), 32u);
    EXPECT_EQ(readFrom(port_, 32).bytes.size(), 8u);
}

TEST_F(ComPortTest, TotalTimeoutsEndAReadWithWhatArrived) {
    setTimeouts(port_, 0, 10, 20);  // 10 ms per byte asked for, plus 20 ms
    const auto start = std::chrono::steady_clock::now();
    const ReadResult r = readFrom(port_, 4);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);

    line_->write(bytesOf("ab"));
    const ReadResult partial = readFrom(port_, 4);
    EXPECT_TRUE(partial.ok);
    EXPECT_EQ(partial.bytes, "ab");
}

TEST_F(ComPortTest, MaxdwordIntervalAndMultiplierReturnWithTheFirstByte) {
    setTimeouts(port_, MAXDWORD, MAXDWORD, 30);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readFrom(port_, 8).bytes, "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    setTimeouts(port_, MAXDWORD, MAXDWORD, 60'000);
    auto reader = async([&] { return readFrom(port_, 8); });
    line_->write(bytesOf("z"));
    ASSERT_TRUE(ready(reader));
    EXPECT_EQ(reader.get().bytes, "z");
}

TEST_F(ComPortTest, ClearCommErrorReportsErrorsOnceAndTheInputQueue) {
    line_->injectErrors(CE_FRAME | CE_OVERRUN);
    line_->write(bytesOf("1234567"));
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_FRAME | CE_OVERRUN));
    EXPECT_EQ(stat.cbInQue, 7u);
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 7u);
}

TEST_F(ComPortTest, ReceivedBytesAreALevelForEvRxchar) {
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_CTS));
    line_->write(bytesOf("q"));
    for (int i = 0; i < 2; ++i) {
        const WaitResult w = waitEvent(port_);
        EXPECT_TRUE(w.ok);
        EXPECT_EQ(w.events, static_cast<DWORD>(EV_RXCHAR));
    }
    setTimeouts(port_, MAXDWORD, 0, 0);
    EXPECT_EQ(readFrom(port_, 8).bytes, "q");
    // Nothing queued now: the wait blocks until bytes come.
    auto waiter = async([&] { return waitEvent(port_); });
    EXPECT_FALSE(ready(waiter, 30ms));
    line_->write(bytesOf("r"));
    ASSERT_TRUE(ready(waiter));
    EXPECT_EQ(waiter.get().events, static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(ComPortTest, PendingLineErrorsAreALevelForEvErrUntilCleared) {
    ASSERT_TRUE(SetCommMask(port_, EV_ERR | EV_CTS));
    line_->injectErrors(CE_RXPARITY);
    EXPECT_EQ(waitEvent(port_).events, static_cast<DWORD>(EV_ERR));
    EXPECT_EQ(waitEvent(port_).events, static_cast<DWORD>(EV_ERR));
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXPARITY));
    auto waiter = async([&] { return waitEvent(port_); });
    EXPECT_FALSE(ready(waiter, 30ms));
    line_->raiseEvents(EV_CTS);
    ASSERT_TRUE(ready(waiter));
    EXPECT_EQ(waiter.get().events, static_cast<DWORD>(EV_CTS));
}

TEST_F(ComPortTest, ModemEventsFireOncePerChange) {
    ASSERT_TRUE(SetCommMask(port_, EV_CTS | EV_RING | EV_POWER));
    line_->raiseEvents(EV_CTS | EV_POWER);
    EXPECT_EQ(waitEvent(port_).events, static_cast<DWORD>(EV_CTS | EV_POWER));
    // Reported once: the next wait blocks until the next change.
    auto waiter = async([&] { return waitEvent(port_); });
    EXPECT_FALSE(ready(waiter, 30ms));
    // An event outside the mask is not seen at all.
    line_->raiseEvents(EV_DSR);
    EXPECT_FALSE(ready(waiter, 20ms));
    line_->raiseEvents(EV_RING);
    ASSERT_TRUE(ready(waiter));
    EXPECT_EQ(waiter.get().events, static_cast<DWORD>(EV_RING));
}

TEST_F(ComPortTest, EvTxemptyFiresOnceAfterAWrite) {
    ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY | EV_CTS));
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(port_, "abc", 3, &done, nullptr));
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(waitEvent(port_).events, static_cast<DWORD>(EV_TXEMPTY));
    auto waiter = async([&] { return waitEvent(port_); });
    EXPECT_FALSE(ready(waiter, 30ms));
    line_->raiseEvents(EV_CTS);
    ASSERT_TRUE(ready(waiter));
    EXPECT_EQ(waiter.get().events, static_cast<DWORD>(EV_CTS));
    EXPECT_EQ(peerRead(3), "abc");
}

TEST_F(ComPortTest, SetCommMaskEndsAPendingWaitWithNoEvent) {
    ASSERT_TRUE(SetCommMask(port_, EV_CTS));
    auto waiter = async([&] { return waitEvent(port_); });
    // Setting the mask before the wait began would not end it, so set it until it does.
    ASSERT_TRUE(eventually([&] {
        SetCommMask(port_, EV_CTS);
        return ready(waiter, 2ms);
    }));
    const WaitResult w = waiter.get();
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.events, 0u);
}

TEST_F(ComPortTest, OnlyOneWaitMayBePendingOnAHandle) {
    ASSERT_TRUE(SetCommMask(port_, EV_CTS));
    auto first = async([&] { return waitEvent(port_); });
    auto second = async([&] { return waitEvent(port_); });
    // Whichever came second is refused at once; the other stays pending.
    ASSERT_TRUE(eventually([&] { return ready(first, 1ms) || ready(second, 1ms); }));
    auto& refused = ready(first, 0ms) ? first : second;
    auto& pending = ready(first, 0ms) ? second : first;
    const WaitResult r = refused.get();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ready(pending, 20ms));
    line_->raiseEvents(EV_CTS);
    ASSERT_TRUE(ready(pending));
    EXPECT_EQ(pending.get().events, static_cast<DWORD>(EV_CTS));
}

TEST_F(ComPortTest, WritesGoThroughWhileAnotherThreadIsBlocked) {
    setTimeouts(port_, 3, 0, 0);
    ASSERT_TRUE(SetCommMask(port_, EV_CTS));
    auto reader = async([&] { return readFrom(port_, 32); });
    EXPECT_FALSE(ready(reader, 20ms));
    auto writer = async([&] {
        DWORD done = 0;
        return WriteFile(port_, "ping", 4, &done, nullptr) && done == 4;
    });
    ASSERT_TRUE(ready(writer));
    EXPECT_TRUE(writer.get());
    EXPECT_EQ(peerRead(4), "ping");
    line_->write(bytesOf("pong"));
    ASSERT_TRUE(ready(reader));
    EXPECT_EQ(reader.get().bytes, "pong");

    auto waiter = async([&] { return waitEvent(port_); });
    EXPECT_FALSE(ready(waiter, 20ms));
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(port_, "again", 5, &done, nullptr));
    EXPECT_EQ(peerRead(5), "again");
    line_->raiseEvents(EV_CTS);
    ASSERT_TRUE(ready(waiter));
}

TEST_F(ComPortTest, CloseHandleWakesABlockedReadAndABlockedWait) {
    setTimeouts(port_, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(port_, EV_CTS));
    auto reader = async([&] { return readFrom(port_, 32); });
    auto waiter = async([&] { return waitEvent(port_); });
    EXPECT_FALSE(ready(reader, 20ms));
    EXPECT_FALSE(ready(waiter, 0ms));
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(ready(reader));
    ASSERT_TRUE(ready(waiter));
    const ReadResult r = reader.get();
    const WaitResult w = waiter.get();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(w.ok);
    EXPECT_EQ(w.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(line_->isOpen());
    // The port is free again at once.
    port_ = openCom(u"COM5:");
    EXPECT_NE(port_, INVALID_HANDLE_VALUE);
}

TEST_F(ComPortTest, RemovingTheDeviceFailsBlockedAndLaterCalls) {
    setTimeouts(port_, 3, 0, 0);
    auto reader = async([&] { return readFrom(port_, 32); });
    EXPECT_FALSE(ready(reader, 20ms));
    line_->deactivate();
    ASSERT_TRUE(ready(reader));
    EXPECT_FALSE(reader.get().ok);
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(port_, "x", 1, &done, nullptr));
    DWORD errors = 0;
    EXPECT_FALSE(ClearCommError(port_, &errors, nullptr));
    EXPECT_EQ(openCom(u"COM5:"), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(line_->isOpen());
    EXPECT_EQ(line_->activeNumber(), 0u);
}

// Notes what a tap sees, one text a call.
struct RecordingTap : host::serial::PortTap {
    std::vector<std::string> seen;
    void opened(unsigned n) override { seen.push_back("open " + std::to_string(n)); }
    void closed(unsigned n) override { seen.push_back("close " + std::to_string(n)); }
    void bytes(unsigned n, Direction d, std::span<const std::uint8_t> b) override {
        seen.push_back((d == Direction::Written ? "> " : "< ") + std::to_string(n) + " " +
                       std::string(b.begin(), b.end()));
    }
};

TEST_F(ComPortTest, ATapSeesTheHandleAndEveryByteBothWaysUntilDetached) {
    const auto tap = std::make_shared<RecordingTap>();
    host::serial::attachTap(5, tap);  // the port is active and open already
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(port_, "hi", 2, &done, nullptr));
    line_->write(bytesOf("yo"));
    setTimeouts(port_, MAXDWORD, 0, 0);
    EXPECT_EQ(readFrom(port_, 32).bytes, "yo");
    ASSERT_TRUE(CloseHandle(port_));
    // The tap stays with the number: the port activated again is watched from its first open.
    line_->deactivate();
    ASSERT_TRUE(line_->activate(5));
    port_ = openCom(u"COM5:");
    host::serial::attachTap(5, nullptr);
    ASSERT_TRUE(WriteFile(port_, "unseen", 6, &done, nullptr));
    EXPECT_EQ(tap->seen, (std::vector<std::string>{"> 5 hi", "< 5 yo", "close 5", "open 5"}));
}

}  // namespace

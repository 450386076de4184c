#include "serial/framed_port.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "allocation_probe.h"
#include "comm_spy.h"
#include "line_fixture.h"

namespace {

using kest::Frame;
using kest::FramedPort;
using Bytes = std::vector<BYTE>;
using Strings = std::vector<std::string>;

// One frame as a handler saw it.
struct Seen {
    int handler;
    Bytes wire;
    int liveFrames;
    bool operator==(const Seen&) const = default;
};

// A frame handler that records what it sees; several of them share one record.
class FrameLog {
  public:
    struct Handler {
        FrameLog* log;
        int id;
    };

    static void Record(Handler* handler, const Frame* frame) {
        FrameLog& log = *handler->log;
        {
            std::lock_guard guard(log.lock_);
            log.seen_.push_back({handler->id,
                                 Bytes(frame->Bytes(), frame->Bytes() + frame->Length()),
                                 probe::liveFrames()});
        }
        log.changed_.notify_all();
    }
    static constexpr kest::CallbackFunction kHandler = kest::callback<&FrameLog::Record>;

    // Waits, within a generous bound, until count frames have been seen.
    std::vector<Seen> waitFor(std::size_t count) {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, std::chrono::seconds(10), [&] { return seen_.size() >= count; });
        return seen_;
    }
    std::vector<Seen> seen() {
        std::lock_guard guard(lock_);
        return seen_;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
};

class FramedPortTest : public LineTest {
  protected:
    void SetUp() override {
        LineTest::SetUp();
        port.AddMessageHandler(&log, LineLog::kHandler);
        port.AddFrameHandler(&first, FrameLog::kHandler);
    }

    // Runs ReceiveData the way the monitor thread does; the close at the end of a test makes
    // its read yield nothing, and so ends it.
    void startReceiving() {
        receiving = std::thread([this] { port.ReceiveData(); });
    }
    void stopReceiving() {
        port.Close();
        receiving.join();
    }

    FramedPort port{kPortName, 115200};
    FrameLog frames;
    FrameLog::Handler first{&frames, 1};
    std::thread receiving;
};

TEST(FramedPortBuild, DefaultIsThePowerPort) {
    const FramedPort power;
    EXPECT_STREQ(power.PortName(), "COM1:");
    EXPECT_EQ(power.BaudRate(), 9600u);
    EXPECT_FALSE(power.IsOpen());
}

TEST_F(FramedPortTest, PortLinesReachTheMessageHandlers) {
    FramedPort missing("COM9:", 115200);
    LineLog lines;
    EXPECT_EQ(missing.AddMessageHandler(&lines, LineLog::kHandler), 0);
    EXPECT_FALSE(missing.Open());
    ASSERT_EQ(lines.lines().size(), 2u);
    EXPECT_EQ(lines.lines()[0], "CreateFile invalid handle");

    EXPECT_EQ(missing.RemoveMessageHandler(&lines, LineLog::kHandler), 0);
    EXPECT_EQ(missing.RemoveMessageHandler(&lines, LineLog::kHandler), 1);
    EXPECT_FALSE(missing.Open());
    EXPECT_EQ(lines.lines().size(), 2u);
}

TEST_F(FramedPortTest, SendFrameIsOneWriteOfTheWholeFrame) {
    ASSERT_TRUE(port.Open());
    const BYTE payload[] = {0x01, 0x00};
    spy::clear();
    EXPECT_EQ(port.SendFrame(Frame(0, payload, 2)), 5);
    EXPECT_EQ(peerRead(5), (Bytes{0x21, 0x00, 0x02, 0x01, 0x00}));
    const auto writes = spy::callsOf(spy::Kind::Write);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value, 5u);

    port.Close();
    EXPECT_EQ(port.SendFrame(Frame(0, payload, 2)), 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(FramedPortTest, FramesAcrossReadsAndGarbageBetweenThem) {
    ASSERT_TRUE(port.Open());
    startReceiving();
    peerWrite({0x21, 0x00, 0x02});
    ASSERT_TRUE(spy::waitFor([](const std::vector<spy::Call>& calls) {
        for (const spy::Call& c : calls)
            if (c.kind == spy::Kind::Read && c.value == 3) return true;
        return false;
    }));
    EXPECT_TRUE(frames.seen().empty());
    peerWrite({0x01, 0x00, 0x55, 0x21, 0x00, 0x00});
    const auto seen = frames.waitFor(2);
    stopReceiving();
    ASSERT_EQ(frames.seen().size(), 2u);
    EXPECT_EQ(seen[0].wire, (Bytes{0x21, 0x00, 0x02, 0x01, 0x00}));
    EXPECT_EQ(seen[1].wire, (Bytes{0x21, 0x00, 0x00}));
}

TEST_F(FramedPortTest, OversizedFrameIsSkippedByItsLength) {
    ASSERT_TRUE(port.Open());
    Bytes bytes{0x21, 0x00, 200};
    bytes.insert(bytes.end(), 200, 0x21);
    bytes.insert(bytes.end(), {0x21, 0x00, 0x01, 0x09});
    startReceiving();
    peerWrite(bytes);
    const auto seen = frames.waitFor(1);
    stopReceiving();
    ASSERT_EQ(frames.seen().size(), 1u);
    EXPECT_EQ(seen[0].wire, (Bytes{0x21, 0x00, 0x01, 0x09}));
}

// Three handlers see each frame, the one added last first; a frame is freed once the last of
// them has seen it, before the next one is decoded.
TEST_F(FramedPortTest, HandlersNewestFirstAndFrameFreedAfterTheLast) {
    FrameLog::Handler second{&frames, 2};
    FrameLog::Handler third{&frames, 3};
    port.AddFrameHandler(&second, FrameLog::kHandler);
    port.AddFrameHandler(&third, FrameLog::kHandler);
    ASSERT_TRUE(port.Open());
    const int before = probe::liveFrames();

    startReceiving();
    peerWrite({0x21, 0x00, 0x01, 0x03, 0x21, 0x00, 0x02, 0x02, 0x07});
    frames.waitFor(6);
    stopReceiving();

    const Bytes a{0x21, 0x00, 0x01, 0x03};
    const Bytes b{0x21, 0x00, 0x02, 0x02, 0x07};
    // Where allocations cannot be watched, the probe counts none.
    const int live = probe::kAvailable ? before + 1 : before;
    EXPECT_EQ(
        frames.seen(),
        (std::vector<Seen>{
            {3, a, live}, {2, a, live}, {1, a, live}, {3, b, live}, {2, b, live}, {1, b, live}}));
    EXPECT_EQ(probe::liveFrames(), before);
}

TEST_F(FramedPortTest, RemovedFrameHandlerSeesNoMore) {
    FrameLog::Handler second{&frames, 2};
    port.AddFrameHandler(&second, FrameLog::kHandler);
    EXPECT_EQ(port.RemoveFrameHandler(&second, FrameLog::kHandler), 0);
    EXPECT_EQ(port.RemoveFrameHandler(&second, FrameLog::kHandler), 1);
    ASSERT_TRUE(port.Open());
    startReceiving();
    peerWrite({0x21, 0x00, 0x00});
    frames.waitFor(1);
    stopReceiving();
    ASSERT_EQ(frames.seen().size(), 1u);
    EXPECT_EQ(frames.seen()[0].handler, 1);
}

TEST_F(FramedPortTest, ReceiveOnAClosedPortReturnsAtOnce) {
    port.ReceiveData();
    EXPECT_TRUE(frames.seen().empty());
    EXPECT_TRUE(log.lines().empty());
}

// Acknowledging from inside a frame handler while the manager side sends as well: both writes
// go out while the receiving thread holds the port.
struct Acknowledger {
    static void Acknowledge(Acknowledger* self, const Frame* frame) {
        const BYTE ack[] = {0x09, frame->Payload()[0]};
        self->port->SendFrame(Frame(0, ack, 2));
    }
    FramedPort* port;
};

TEST_F(FramedPortTest, SendWhileReceiving) {
    Acknowledger acknowledger{&port};
    port.AddFrameHandler(&acknowledger, kest::callback<&Acknowledger::Acknowledge>);
    ASSERT_TRUE(port.Open());
    startReceiving();
    ASSERT_TRUE(spy::waitFor(spy::readEntered));
    const BYTE request[] = {0x01, 0x00};
    EXPECT_EQ(port.SendFrame(Frame(0, request, 2)), 5);
    EXPECT_EQ(peerRead(5), (Bytes{0x21, 0x00, 0x02, 0x01, 0x00}));
    peerWrite({0x21, 0x00, 0x01, 0x08});
    EXPECT_EQ(peerRead(5), (Bytes{0x21, 0x00, 0x02, 0x09, 0x08}));
    stopReceiving();
    EXPECT_EQ(frames.seen().size(), 1u);
}

struct Thrower {
    static void Throw(Thrower*, const Frame*) { throw std::runtime_error("handler failed"); }
};

TEST_F(FramedPortTest, FrameHandlerExceptionReachesTheCallerAndTheFrameIsFreed) {
    Thrower thrower;
    port.AddFrameHandler(&thrower, kest::callback<&Thrower::Throw>);
    ASSERT_TRUE(port.Open());
    const int before = probe::liveFrames();
    peerWrite({0x21, 0x00, 0x00});
    EXPECT_THROW(port.ReceiveData(), std::runtime_error);
    EXPECT_EQ(probe::liveFrames(), before);
    EXPECT_TRUE(frames.seen().empty());
}

TEST_F(FramedPortTest, DeletingAnOpenPortClosesItAndRestoresTheTimeouts) {
    const COMMTIMEOUTS driverTimeouts{70, 80, 90, 100, 110};
    spy::setDriverTimeouts(driverTimeouts);
    auto* data = new FramedPort(kPortName, 115200);
    ASSERT_TRUE(data->Open());
    EXPECT_TRUE(line->isOpen());
    spy::clear();
    delete data;
    EXPECT_FALSE(line->isOpen());
    const auto calls = spy::calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, spy::Kind::SetTimeouts);
    EXPECT_EQ(calls[0].timeouts, driverTimeouts);
}

}  // namespace

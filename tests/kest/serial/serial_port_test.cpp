#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm_spy.h"
#include "line_fixture.h"

namespace {

using kest::SerialPort;
using Strings = std::vector<std::string>;

constexpr COMMTIMEOUTS kPortTimeouts{3, 0, 0, 3, 0};
constexpr COMMTIMEOUTS kDriverTimeouts{70, 80, 90, 100, 110};

class SerialPortTest : public LineTest {
  protected:
    void SetUp() override {
        LineTest::SetUp();
        port.AddErrorHandler(&log, LineLog::kHandler);
    }

    SerialPort port{kPortName, 115200};
};

// Records every line and throws on the first ones.
struct ThrowingHandler {
    static void Record(ThrowingHandler* self, const char* line) {
        LineLog::Record(&self->log, line);
        if (self->throwsLeft > 0) {
            --self->throwsLeft;
            throw std::runtime_error("handler failed");
        }
    }
    int throwsLeft;
    LineLog log;
};

TEST(SerialPortName, CutToNineteenCharacters) {
    const SerialPort longName("COM1234567890123456789", 9600);
    EXPECT_STREQ(longName.PortName(), "COM1234567890123456");
    const SerialPort exact("COM1234567890123456", 9600);
    EXPECT_STREQ(exact.PortName(), "COM1234567890123456");
    EXPECT_EQ(exact.BaudRate(), 9600u);
    EXPECT_FALSE(exact.IsOpen());
}

TEST_F(SerialPortTest, OpenSetsPortTimeoutsAndCloseRestoresTheDrivers) {
    spy::setDriverTimeouts(kDriverTimeouts);
    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(line->isOpen());
    std::vector<spy::Call> calls = spy::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, spy::Kind::GetTimeouts);
    EXPECT_EQ(calls[1].kind, spy::Kind::SetTimeouts);
    EXPECT_EQ(calls[1].timeouts, kPortTimeouts);

    spy::clear();
    EXPECT_TRUE(port.Close());
    calls = spy::calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, spy::Kind::SetTimeouts);
    EXPECT_EQ(calls[0].timeouts, kDriverTimeouts);
    EXPECT_FALSE(line->isOpen());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(SerialPortTest, OpenAndCloseAreIdempotent) {
    EXPECT_TRUE(port.Close());  // never opened: the driver is not touched
    ASSERT_TRUE(port.Open());
    spy::clear();
    EXPECT_TRUE(port.Open());
    EXPECT_TRUE(spy::calls().empty());

    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(spy::callsOf(spy::Kind::SetTimeouts).size(), 1u);
    EXPECT_TRUE(log.lines().empty());

    // A closed port opens again.
    EXPECT_TRUE(port.Open());
    EXPECT_TRUE(line->isOpen());
}

TEST_F(SerialPortTest, FailedOpenReportsBothLines) {
    SerialPort missing("COM9:", 115200);
    missing.AddErrorHandler(&log, LineLog::kHandler);
    // The code the platform gives for this name.
    ASSERT_EQ(
        CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    const std::string code = std::to_string(GetLastError());

    EXPECT_FALSE(missing.Open());
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(log.lines(), (Strings{"CreateFile invalid handle", "errno=" + code}));
    EXPECT_TRUE(spy::calls().empty());
}

TEST_F(SerialPortTest, SecondPortOnABusyDeviceFails) {
    ASSERT_TRUE(port.Open());
    SerialPort second(kPortName, 115200);
    LineLog secondLog;
    second.AddErrorHandler(&secondLog, LineLog::kHandler);
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(secondLog.lines(), (Strings{"CreateFile invalid handle",
                                          "errno=" + std::to_string(ERROR_SHARING_VIOLATION)}));

    const BYTE byte = 0x42;
    EXPECT_EQ(port.Write(&byte, 1), 1);
    EXPECT_EQ(peerRead(1), std::vector<BYTE>{0x42});
}

TEST_F(SerialPortTest, ClosedPortDoesNothingAndReportsNothing) {
    BYTE buffer[8] = {1, 2, 3};
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    EXPECT_EQ(port.Write(buffer, 3), 0);
    EXPECT_EQ(port.WaitForCommEvent(0x21FD), DWORD{EV_ERR});
    EXPECT_TRUE(spy::calls().empty());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(line->pendingForPeer(), 0u);
}

TEST_F(SerialPortTest, ReadTakesWhatArrivedAndWriteSendsIt) {
    ASSERT_TRUE(port.Open());
    peerWrite({0x21, 0x00, 0x01});
    BYTE buffer[32];
    ASSERT_EQ(port.Read(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 3), (std::vector<BYTE>{0x21, 0x00, 0x01}));

    const BYTE out[] = {0x21, 0x00, 0x02, 0x01, 0x00};
    EXPECT_EQ(port.Write(out, sizeof out), 5);
    EXPECT_EQ(peerRead(5), std::vector<BYTE>(out, out + 5));
}

TEST_F(SerialPortTest, WaitReturnsAtOnceWithQueuedBytes) {
    ASSERT_TRUE(port.Open());
    peerWrite({0x55});
    spy::clear();
    EXPECT_EQ(port.WaitForCommEvent(0x21FD), DWORD{EV_RXCHAR});
    EXPECT_TRUE(spy::callsOf(spy::Kind::SetMask).empty());
    EXPECT_TRUE(spy::callsOf(spy::Kind::WaitEvent).empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(SerialPortTest, WaitSetsTheMaskAndReturnsTheDriversEvents) {
    ASSERT_TRUE(port.Open());
    peerWrite({0x55});  // queued, but not asked for
    DWORD events = 0;
    std::thread waiter([&] { events = port.WaitForCommEvent(EV_CTS); });
    ASSERT_TRUE(spy::waitFor(spy::waitEntered));
    line->raiseEvents(EV_CTS);
    waiter.join();
    EXPECT_EQ(events, DWORD{EV_CTS});
    const auto masks = spy::callsOf(spy::Kind::SetMask);
    ASSERT_EQ(masks.size(), 1u);
    EXPECT_EQ(masks[0].value, DWORD{EV_CTS});
}

TEST_F(SerialPortTest, LineErrorsAreReportedOnceAndCleared) {
    ASSERT_TRUE(port.Open());
    line->injectErrors(CE_FRAME | CE_OVERRUN);
    peerWrite({0x55});
    EXPECT_EQ(port.WaitForCommEvent(0x21FD), DWORD{EV_ERR | EV_RXCHAR});
    EXPECT_EQ(log.lines(), Strings{"ComErrors = 0x0000000A"});
    EXPECT_EQ(port.WaitForCommEvent(0x21FD), DWORD{EV_RXCHAR});
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(SerialPortTest, CloseEndsABlockedWaitAndABlockedRead) {
    ASSERT_TRUE(port.Open());
    DWORD events = 0;
    std::thread waiter([&] { events = port.WaitForCommEvent(EV_RXCHAR); });
    ASSERT_TRUE(spy::waitFor(spy::waitEntered));
    port.Close();
    waiter.join();
    EXPECT_EQ(events, DWORD{EV_ERR});

    ASSERT_TRUE(port.Open());
    spy::clear();
    int read = -1;
    std::thread reader([&] {
        BYTE buffer[32];
        read = port.Read(buffer, sizeof buffer);
    });
    // The reader may block before or after the close; either way it gets nothing.
    ASSERT_TRUE(spy::waitFor(spy::readEntered));
    port.Close();
    reader.join();
    EXPECT_EQ(read, 0);
}

// A handler run inside the port's wait (its line-error report) closes the port and opens another
// one, which may get the closed handle's value: the wait must end rather than go on with the
// other port.
struct CloseAndOpenNext {
    static void Record(CloseAndOpenNext* self, const char*) {
        self->port->Close();
        ASSERT_TRUE(self->next->Open());
        self->nextLine->write(std::vector<BYTE>{0x77});
    }
    SerialPort* port;
    SerialPort* next;
    host::serial::SimulatedLine* nextLine;
};

TEST_F(SerialPortTest, ACallCaughtByTheCloseNeverReachesAPortOpenedAfterIt) {
    const auto nextLine = host::serial::createSimulatedLine();
    ASSERT_TRUE(nextLine->activate(8));
    SerialPort next("COM8:", 115200);
    CloseAndOpenNext handler{&port, &next, nextLine.get()};
    port.AddErrorHandler(&handler, kest::callback<&CloseAndOpenNext::Record>);
    ASSERT_TRUE(port.Open());
    line->injectErrors(CE_FRAME);

    EXPECT_EQ(port.WaitForCommEvent(EV_RXCHAR), DWORD{EV_ERR});
    EXPECT_FALSE(port.IsOpen());
    BYTE buffer[8];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0);
    ASSERT_EQ(next.Read(buffer, sizeof buffer), 1) << "the byte stays the other port's";
    EXPECT_EQ(buffer[0], 0x77);
    next.Close();
    nextLine->deactivate();
}

TEST_F(SerialPortTest, WriteToARemovedDeviceFails) {
    ASSERT_TRUE(port.Open());
    line->deactivate();
    const BYTE byte = 0x01;
    EXPECT_EQ(port.Write(&byte, 1), 0);
    EXPECT_EQ(log.lines(), Strings{"WriteFile failed"});
    EXPECT_EQ(port.WaitForCommEvent(EV_RXCHAR), DWORD{EV_ERR});
    EXPECT_TRUE(port.Close());
}

TEST_F(SerialPortTest, ExceptionsFromHandlersAreReportedNotThrown) {
    ThrowingHandler handler{1, {}};
    const kest::CallbackFunction fn = kest::callback<&ThrowingHandler::Record>;

    SerialPort missing("COM9:", 115200);
    missing.AddErrorHandler(&handler, fn);
    EXPECT_FALSE(missing.Open());
    EXPECT_EQ(handler.log.lines(),
              (Strings{"CreateFile invalid handle", "Exception in SerialPort::Open"}));

    ThrowingHandler onWait{1, {}};
    port.AddErrorHandler(&onWait, fn);
    ASSERT_TRUE(port.Open());
    line->injectErrors(CE_BREAK);
    peerWrite({0x55});
    EXPECT_EQ(port.WaitForCommEvent(0x21FD), DWORD{EV_ERR});
    EXPECT_EQ(onWait.log.lines(),
              (Strings{"ComErrors = 0x00000010", "Exception in WaitForCommEvent"}));

    ThrowingHandler onWrite{1, {}};
    port.RemoveErrorHandler(&onWait, fn);
    port.AddErrorHandler(&onWrite, fn);
    line->deactivate();
    const BYTE byte = 0x01;
    EXPECT_EQ(port.Write(&byte, 1), 0);
    EXPECT_EQ(onWrite.log.lines(), (Strings{"WriteFile failed", "Exception in SerialPort::Write"}));
}

TEST_F(SerialPortTest, HandlerThatAlwaysThrowsNeverReachesTheCaller) {
    ThrowingHandler handler{1000, {}};
    SerialPort missing("COM9:", 115200);
    missing.AddErrorHandler(&handler, kest::callback<&ThrowingHandler::Record>);
    bool opened = true;
    EXPECT_NO_THROW(opened = missing.Open());
    EXPECT_FALSE(opened);
    EXPECT_EQ(handler.log.lines().size(), 2u);
}

TEST_F(SerialPortTest, ErrorHandlersAddAndRemove) {
    LineLog other;
    EXPECT_EQ(port.RemoveErrorHandler(&other, LineLog::kHandler), 1);
    EXPECT_EQ(port.AddErrorHandler(&other, LineLog::kHandler), 0);
    EXPECT_EQ(port.AddErrorHandler(&other, LineLog::kHandler), 0);
    port.ReportError("twice");
    EXPECT_EQ(other.lines(), (Strings{"twice", "twice"}));
    EXPECT_EQ(port.RemoveErrorHandler(&other, LineLog::kHandler), 0);
    port.ReportError("once");
    EXPECT_EQ(other.lines(), (Strings{"twice", "twice", "once"}));
    EXPECT_EQ(log.lines(), (Strings{"twice", "once"}));
}

}  // namespace

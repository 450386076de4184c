// COM devices over a host tty, tested with a pseudo-terminal pair. The slave stays in its
// default cooked mode until the COM driver opens it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <host/devices.h>
#include <host/handles.h>
#include <host/registry.h>
#include <host/serial.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "serial_test_support.h"

namespace {

using namespace serial_test;

bool isActive(const std::string& name) {
    for (const auto& d : host::devices::activeDevices())
        if (d.name == name) return true;
    return false;
}

class TtyLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::registry::reset();
        handlesAtStart_ = host::liveHandleCount();
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slavePath_ = ptsname(master_);
        host::serial::mapHostTty(7, slavePath_);
        ASSERT_TRUE(isActive("COM7:"));
    }
    void TearDown() override {
        host::serial::unmapHostTty(7);
        EXPECT_FALSE(isActive("COM7:"));
        if (master_ >= 0) ::close(master_);
        EXPECT_EQ(host::liveHandleCount(), handlesAtStart_);
    }
    std::string masterRead(std::size_t count) {
        std::string out;
        while (out.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            char buffer[64];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

    int master_ = -1;
    std::string slavePath_;
    std::size_t handlesAtStart_ = 0;
};

TEST_F(TtyLineTest, RawModeLetsControlBytesThroughBothWays) {
    HANDLE h = openCom(u"COM7:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    setTimeouts(h, 3, 0, 0);
    const std::string frame("\x03\x0D\x11\x13\x21\x0A", 6);
    ASSERT_EQ(::write(master_, frame.data(), frame.size()), 6);
    COMSTAT stat{};
    ASSERT_TRUE(eventually([&] {
        DWORD errors = 0;
        return ClearCommError(h, &errors, &stat) && stat.cbInQue == 6;
    }));
    EXPECT_EQ(readFrom(h, 32).bytes, frame);

    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, frame.data(), 6, &done, nullptr));
    EXPECT_EQ(done, 6u);
    EXPECT_EQ(masterRead(6), frame);
    CloseHandle(h);
}

TEST_F(TtyLineTest, WaitCommEventSeesArrivingBytesAndCloseWakesIt) {
    HANDLE h = openCom(u"COM7:");
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    auto waiter = async([&] { return waitEvent(h); });
    EXPECT_FALSE(ready(waiter, 20ms));
    ASSERT_EQ(::write(master_, "k", 1), 1);
    ASSERT_TRUE(ready(waiter));
    EXPECT_EQ(waiter.get().events, static_cast<DWORD>(EV_RXCHAR));

    setTimeouts(h, 0, 0, 0);
    EXPECT_EQ(readFrom(h, 1).bytes, "k");
    auto reader = async([&] { return readFrom(h, 8); });
    EXPECT_FALSE(ready(reader, 20ms));
    CloseHandle(h);
    ASSERT_TRUE(ready(reader));
    EXPECT_FALSE(reader.get().ok);
}

TEST_F(TtyLineTest, AfterAHangUpAWaitReturnsNoEvent) {
    HANDLE h = openCom(u"COM7:");
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_CTS));
    auto waiter = async([&] { return waitEvent(h); });
    EXPECT_FALSE(ready(waiter, 20ms));
    ::close(master_);
    master_ = -1;
    ASSERT_TRUE(ready(waiter));
    const WaitResult w = waiter.get();
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.events, 0u);
    // And so on every later wait, without blocking; a read finds nothing.
    EXPECT_TRUE(waitEvent(h).ok);
    setTimeouts(h, 3, 0, 0);
    const ReadResult r = readFrom(h, 8);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "");
    CloseHandle(h);
}

TEST_F(TtyLineTest, TheDeviceIsListedWhileItsPathExists) {
    char pattern[] = "/tmp/ttywatchXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string link = std::string(pattern) + "/adapter";
    host::serial::mapHostTty(8, link);
    EXPECT_FALSE(isActive("COM8:"));
    std::filesystem::create_symlink(slavePath_, link);
    host::serial::rescanHostTtys();
    EXPECT_TRUE(isActive("COM8:"));
    HANDLE h = openCom(u"COM8:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::filesystem::remove(link);
    host::serial::rescanHostTtys();
    EXPECT_FALSE(isActive("COM8:"));
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
    CloseHandle(h);
    host::serial::unmapHostTty(8);
    std::filesystem::remove_all(pattern);
}

TEST_F(TtyLineTest, ANumberMappedAgainFollowsItsNewPath) {
    host::serial::mapHostTty(7, "/nonexistent/tty");
    EXPECT_FALSE(isActive("COM7:"));
    host::serial::mapHostTty(7, slavePath_);
    EXPECT_TRUE(isActive("COM7:"));
}

}  // namespace

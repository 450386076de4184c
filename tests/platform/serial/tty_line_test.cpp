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
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "serial_test_support.h"

namespace {

using namespace serial_test;

bool isActive(const std::string& name) {
    for (const auto& d : host::devices::activeDevices())
        if (d.name == name) return true;
    return false;
}

// Its Drivers\Active key, which every activation makes anew.
std::optional<std::string> activeKeyOf(const std::string& name) {
    for (const auto& d : host::devices::activeDevices())
        if (d.name == name) return d.activeKey;
    return std::nullopt;
}

// A pseudo-terminal's slave path, for as long as the object holds its master.
struct Pty {
    Pty() : master(posix_openpt(O_RDWR | O_NOCTTY)) {
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
    }
    ~Pty() { close(); }
    void close() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    int master;
    std::string slave;
};

std::string temporaryFolder() {
    char pattern[] = "/tmp/ttywatchXXXXXX";
    return mkdtemp(pattern) != nullptr ? pattern : "";
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

// A hang-up that leaves the tty in place, as a line that drops its carrier does: a master that
// closes takes the slave's node, and so the COM device, with it.
TEST_F(TtyLineTest, AfterAHangUpAWaitReturnsNoEvent) {
    const int slave = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    HANDLE h = openCom(u"COM7:");
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_CTS));
    auto waiter = async([&] { return waitEvent(h); });
    EXPECT_FALSE(ready(waiter, 20ms));
    const bool hungUp = ::ioctl(slave, TIOCVHANGUP) == 0;
    ::close(slave);
    if (!hungUp) {
        CloseHandle(h);
        GTEST_SKIP() << "TIOCVHANGUP needs CAP_SYS_ADMIN";
    }
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

// No rescan: the watcher sees the link replaced in one go, as a device unplugged and plugged
// again, and the tty it leads to going while the link stays.
TEST_F(TtyLineTest, ALinkedTtyThatGoesAndComesBackIsListedAfreshAndUnlistedWithItsTty) {
    const std::string folder = temporaryFolder();
    ASSERT_FALSE(folder.empty());
    const std::string link = folder + "/adapter";
    std::filesystem::create_symlink(slavePath_, link);
    host::serial::mapHostTty(8, link);
    const std::optional<std::string> first = activeKeyOf("COM8:");
    ASSERT_TRUE(first.has_value());

    Pty next;
    ASSERT_FALSE(next.slave.empty());
    std::filesystem::remove(link);
    std::filesystem::create_symlink(next.slave, link);
    EXPECT_TRUE(eventually([&] {
        const auto key = activeKeyOf("COM8:");
        return key.has_value() && key != first;
    }));
    next.close();
    EXPECT_TRUE(eventually([] { return !isActive("COM8:"); }));
    host::serial::unmapHostTty(8);
    std::filesystem::remove_all(folder);
}

TEST_F(TtyLineTest, APathInAFolderStillToComeIsListedOnceItExists) {
    const std::string folder = temporaryFolder();
    ASSERT_FALSE(folder.empty());
    host::serial::mapHostTty(8, folder + "/by-id/adapter");
    std::filesystem::create_directory(folder + "/by-id");
    std::filesystem::create_symlink(slavePath_, folder + "/by-id/adapter");
    EXPECT_TRUE(eventually([] { return isActive("COM8:"); }));
    host::serial::unmapHostTty(8);
    std::filesystem::remove_all(folder);
}

// The folder and the path come while the watcher is between its look and its watch: whichever
// it sees first, it does not then wait for an event that came before its watch.
TEST_F(TtyLineTest, APathThatComesAsTheWatcherLooksIsNotMissed) {
    for (int round = 0; round < 40; ++round) {
        const std::string folder = temporaryFolder();
        ASSERT_FALSE(folder.empty());
        host::serial::mapHostTty(8, folder + "/by-id/adapter");
        std::filesystem::create_directory(folder + "/by-id");
        std::filesystem::create_symlink(slavePath_, folder + "/by-id/adapter");
        const bool listed = eventually([] { return isActive("COM8:"); });
        host::serial::unmapHostTty(8);
        std::filesystem::remove_all(folder);
        ASSERT_TRUE(listed) << "round " << round;
    }
}

TEST_F(TtyLineTest, ANumberMappedAgainFollowsItsNewPath) {
    host::serial::mapHostTty(7, "/nonexistent/tty");
    EXPECT_FALSE(isActive("COM7:"));
    host::serial::mapHostTty(7, slavePath_);
    EXPECT_TRUE(isActive("COM7:"));
}

}  // namespace

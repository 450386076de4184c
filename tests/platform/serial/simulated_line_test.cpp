// The simulated line's host side: presence in Drivers\Active, the open handler, pacing and the
// peer's reads.
#include <gtest/gtest.h>
#include <host/devices.h>
#include <host/handles.h>
#include <host/registry.h>
#include <host/serial.h>

#include <vector>

#include "serial_test_support.h"

namespace {

using namespace serial_test;

std::vector<std::string> activeNames() {
    std::vector<std::string> names;
    for (const auto& d : host::devices::activeDevices()) names.push_back(d.name);
    return names;
}

std::string activeKeyName(const std::string& activeKey) {
    HKEY key = nullptr;
    const std::u16string path(activeKey.begin(), activeKey.end());
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return {};
    char16_t name[64] = {};
    DWORD size = sizeof name;
    const LONG error =
        RegQueryValueExW(key, u"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return error == ERROR_SUCCESS
               ? std::string(name, name + std::char_traits<char16_t>::length(name))
               : std::string();
}

class SimulatedLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::registry::reset();
        handlesAtStart_ = host::liveHandleCount();
    }
    void TearDown() override { EXPECT_EQ(host::liveHandleCount(), handlesAtStart_); }
    std::size_t handlesAtStart_ = 0;
};

TEST_F(SimulatedLineTest, AnActiveLineIsListedUnderItsComName) {
    auto line = host::serial::createSimulatedLine();
    ASSERT_TRUE(line->activate(12));
    EXPECT_EQ(line->activeNumber(), 12u);
    const auto devices = host::devices::activeDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, "COM12:");
    EXPECT_EQ(activeKeyName(devices[0].activeKey), "COM12:");

    // The number is taken, and a line is active under one number only.
    auto other = host::serial::createSimulatedLine();
    EXPECT_FALSE(other->activate(12));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(line->activate(13));
    ASSERT_TRUE(other->activate(3));
    EXPECT_EQ(activeNames(), (std::vector<std::string>{"COM12:", "COM3:"}));

    line->deactivate();
    EXPECT_EQ(activeNames(), (std::vector<std::string>{"COM3:"}));
    EXPECT_EQ(activeKeyName(devices[0].activeKey), "");
    line->deactivate();  // nothing to do
    other->deactivate();
    EXPECT_TRUE(activeNames().empty());
}

TEST_F(SimulatedLineTest, TheOpenHandlerSeesEveryOpenAndClose) {
    auto line = host::serial::createSimulatedLine();
    std::vector<bool> seen;
    line->setOpenHandler([&](bool open) { seen.push_back(open); });
    ASSERT_TRUE(line->activate(1));
    for (int i = 0; i < 2; ++i) {
        HANDLE h = openCom(u"COM1:");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(line->isOpen());
        CloseHandle(h);
        EXPECT_FALSE(line->isOpen());
    }
    // Removal while open ends the open state too.
    HANDLE h = openCom(u"COM1:");
    line->deactivate();
    EXPECT_FALSE(line->isOpen());
    CloseHandle(h);
    EXPECT_EQ(seen, (std::vector<bool>{true, false, true, false, true, false}));
}

TEST_F(SimulatedLineTest, AHandlerMayActivateAnotherLine) {
    // The way a peripheral powered through COM1: brings up its data port.
    auto power = host::serial::createSimulatedLine();
    auto data = host::serial::createSimulatedLine();
    power->setOpenHandler([&](bool open) {
        if (open)
            data->activate(6);
        else
            data->deactivate();
    });
    ASSERT_TRUE(power->activate(1));
    HANDLE h = openCom(u"COM1:");
    EXPECT_EQ(activeNames(), (std::vector<std::string>{"COM1:", "COM6:"}));
    CloseHandle(h);
    EXPECT_EQ(activeNames(), (std::vector<std::string>{"COM1:"}));
    power->deactivate();
}

TEST_F(SimulatedLineTest, APacedWriteTakesAtLeastItsBitTime) {
    auto line = host::serial::createSimulatedLine(9600);  // 960 bytes/s
    ASSERT_TRUE(line->activate(2));
    HANDLE h = openCom(u"COM2:");
    const std::string data(96, 'w');
    const auto start = std::chrono::steady_clock::now();
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, data.data(), 96, &done, nullptr));
    EXPECT_EQ(done, 96u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 99ms);
    std::uint8_t buffer[128];
    std::size_t got = 0;
    while (got < 96) {
        const std::size_t n = line->read({buffer + got, sizeof buffer - got}, kBound);
        ASSERT_GT(n, 0u);
        got += n;
    }
    CloseHandle(h);
    line->deactivate();
}

TEST_F(SimulatedLineTest, WriteTimeoutsCutAPacedWriteShort) {
    auto line = host::serial::createSimulatedLine(9600);
    ASSERT_TRUE(line->activate(2));
    HANDLE h = openCom(u"COM2:");
    setTimeouts(h, 0, 0, 0, 0, 20);  // at most 20 ms: about 19 bytes at 960 bytes/s
    const std::string data(96, 'w');
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, data.data(), 96, &done, nullptr));
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, 96u);
    CloseHandle(h);
    line->deactivate();
}

TEST_F(SimulatedLineTest, PacedBytesReachTheDeviceEndOverTime) {
    auto line = host::serial::createSimulatedLine(9600);
    ASSERT_TRUE(line->activate(2));
    HANDLE h = openCom(u"COM2:");
    const std::vector<std::uint8_t> data(48, 0x5A);
    const auto start = std::chrono::steady_clock::now();
    line->write(data);
    const ReadResult r = readFrom(h, 48);  // no time-outs: waits for all 48
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes.size(), 48u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 49ms);
    CloseHandle(h);
    line->deactivate();
}

TEST_F(SimulatedLineTest, PeerReadsWaitForBytesAndHonourAStopRequest) {
    auto line = host::serial::createSimulatedLine();
    ASSERT_TRUE(line->activate(4));
    HANDLE h = openCom(u"COM4:");
    std::uint8_t buffer[8];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(line->read(buffer, 30ms), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

    std::stop_source stop;
    auto reader =
        async([&] { return line->read(buffer, std::chrono::hours(1), stop.get_token()); });
    EXPECT_FALSE(ready(reader, 20ms));
    stop.request_stop();
    ASSERT_TRUE(ready(reader));
    EXPECT_EQ(reader.get(), 0u);

    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "xyz", 3, &done, nullptr));
    EXPECT_EQ(line->pendingForPeer(), 3u);
    EXPECT_EQ(line->read(buffer, kBound), 3u);
    EXPECT_EQ(line->pendingForPeer(), 0u);
    CloseHandle(h);
    line->deactivate();
}

}  // namespace

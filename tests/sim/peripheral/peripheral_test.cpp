#include "peripheral/peripheral.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <host/registry.h>
#include <host/serial.h>
#include <windows.h>
#include <winreg.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "com_handle.h"

namespace sim {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

PeripheralOptions immediatePort() {
    PeripheralOptions options;
    options.dataPortDelay = 0ms;
    options.dataPortRemovalDelay = 0ms;
    options.dataBitRate = 0;
    return options;
}

// The "Name" of every entry under HKLM\Drivers\Active, as the library's discovery reads them.
std::vector<std::string> activeDeviceNames() {
    std::vector<std::string> names;
    HKEY active = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, &active) !=
        ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i) {
        WCHAR subkey[64];
        DWORD subkeyLength = 64;
        if (RegEnumKeyExW(active, i, subkey, &subkeyLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY entry = nullptr;
        if (RegOpenKeyExW(active, subkey, 0, KEY_READ, &entry) != ERROR_SUCCESS) continue;
        WCHAR value[64] = {};
        DWORD size = sizeof value - sizeof(WCHAR);
        if (RegQueryValueExW(entry, u"Name", nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                             &size) == ERROR_SUCCESS) {
            std::string name;
            for (const WCHAR* c = value; *c != 0; ++c) name.push_back(static_cast<char>(*c));
            names.push_back(name);
        }
        RegCloseKey(entry);
    }
    RegCloseKey(active);
    return names;
}

// A serial line that stands for another adapter already plugged in.
std::shared_ptr<host::serial::SimulatedLine> plugged(unsigned number) {
    auto line = host::serial::createSimulatedLine(0);
    EXPECT_TRUE(line->activate(number));
    return line;
}

TEST(PeripheralPower, FollowsWhetherCom1IsHeldOpen) {
    Peripheral peripheral(immediatePort());
    peripheral.start();
    EXPECT_FALSE(peripheral.isPowered());
    EXPECT_THAT(activeDeviceNames(), ElementsAre("COM1:"));

    for (unsigned cycle = 1; cycle <= 2; ++cycle) {
        Handle power(u"COM1:");
        ASSERT_TRUE(power.valid());
        EXPECT_TRUE(peripheral.isPowered());
        EXPECT_EQ(peripheral.powerCycles(), cycle);
        power.close();
        EXPECT_FALSE(peripheral.isPowered());
    }
}

TEST(PeripheralPower, StartRefusesWhenCom1IsTaken) {
    auto other = plugged(1);
    Peripheral peripheral(immediatePort());
    EXPECT_THROW(peripheral.start(), std::runtime_error);
    other->deactivate();
}

TEST(PeripheralPower, StopRemovesThePortsEvenWhileHeldOpen) {
    Peripheral peripheral(immediatePort());
    peripheral.start();
    Handle power(u"COM1:");
    ASSERT_EQ(peripheral.dataPortNumber(), 2u);
    peripheral.stop();
    EXPECT_FALSE(peripheral.isPowered());
    EXPECT_THAT(activeDeviceNames(), Not(Contains("COM1:")));
    EXPECT_THAT(activeDeviceNames(), Not(Contains("COM2:")));
    EXPECT_FALSE(power.write({0x00}));
    peripheral.stop();
}

TEST(PeripheralDataPort, AppearsAtPowerOnAboveTheHighestPresentNumber) {
    auto adapter = plugged(3);
    Peripheral peripheral(immediatePort());
    peripheral.start();
    EXPECT_EQ(peripheral.dataPortNumber(), 0u);

    Handle power(u"COM1:");
    // With no delay the port is listed before the open that powers the peripheral returns.
    EXPECT_EQ(peripheral.dataPortNumber(), 4u);
    EXPECT_THAT(activeDeviceNames(), UnorderedElementsAre("COM1:", "COM3:", "COM4:"));
    adapter->deactivate();
}

TEST(PeripheralDataPort, CountsPortsThatOnlyTheRegistryLists) {
    // As a device image's registry file may list them; the library goes by the registry.
    ASSERT_TRUE(
        host::registry::loadText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Drivers\\Active\\90]\n"
                                 "\"Name\"=\"com5:\"\n"));
    Peripheral peripheral(immediatePort());
    peripheral.start();
    Handle power(u"COM1:");
    EXPECT_EQ(peripheral.dataPortNumber(), 6u);
    power.close();
    ASSERT_TRUE(host::registry::loadText("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Drivers\\Active\\90]\n"));
}

// The library looks at COM1: to COM31: only: above the highest listed port the peripheral takes
// the lowest free one, and with none free it says so.
TEST(PeripheralDataPort, StaysWhereTheLibraryLooks) {
    std::string listed = "REGEDIT4\n";
    for (int n = 3; n <= 40; ++n)
        listed += "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\" + std::to_string(90 + n) +
                  "]\n\"Name\"=\"COM" + std::to_string(n) + ":\"\n";
    ASSERT_TRUE(host::registry::loadText(listed));
    Peripheral peripheral(immediatePort());
    peripheral.start();
    {
        Handle power(u"COM1:");
        EXPECT_EQ(peripheral.dataPortNumber(), 2u);
    }
    auto adapter = plugged(2);
    Handle power(u"COM1:");
    EXPECT_EQ(peripheral.dataPortNumber(), 0u);
    EXPECT_EQ(peripheral.dataPortError(), "no COM number from 2 to 31 is free for the data port");
    power.close();
    adapter->deactivate();
    std::string removed = "REGEDIT4\n";
    for (int n = 3; n <= 40; ++n)
        removed += "[-HKEY_LOCAL_MACHINE\\Drivers\\Active\\" + std::to_string(90 + n) + "]\n";
    ASSERT_TRUE(host::registry::loadText(removed));
}

TEST(PeripheralDataPort, TakesTheNumberRecomputedAtEachPowerOn) {
    Peripheral peripheral(immediatePort());
    peripheral.start();
    {
        Handle power(u"COM1:");
        EXPECT_EQ(peripheral.dataPortNumber(), 2u);
    }
    auto adapter = plugged(6);
    Handle power(u"COM1:");
    EXPECT_EQ(peripheral.dataPortNumber(), 7u);
    power.close();
    adapter->deactivate();
}

TEST(PeripheralDataPort, AppearsAtAChosenNumber) {
    PeripheralOptions options = immediatePort();
    options.dataPort = 9;
    Peripheral peripheral(options);
    peripheral.start();
    Handle power(u"COM1:");
    EXPECT_EQ(peripheral.dataPortNumber(), 9u);
    EXPECT_THAT(activeDeviceNames(), UnorderedElementsAre("COM1:", "COM9:"));
    EXPECT_TRUE(peripheral.dataPortError().empty());
}

TEST(PeripheralDataPort, ChosenNumberAlreadyTakenIsReportedNotListedTwice) {
    auto adapter = plugged(3);
    PeripheralOptions options = immediatePort();
    options.dataPort = 3;
    Peripheral peripheral(options);
    peripheral.start();
    Handle power(u"COM1:");
    EXPECT_EQ(peripheral.dataPortNumber(), 0u);
    EXPECT_THAT(peripheral.dataPortError(), HasSubstr("COM3:"));
    EXPECT_THAT(activeDeviceNames(), UnorderedElementsAre("COM1:", "COM3:"));
    power.close();
    adapter->deactivate();
}

TEST(PeripheralDataPort, NeverAppearsWhenToldSo) {
    PeripheralOptions options = immediatePort();
    options.dataPort = std::nullopt;
    Peripheral peripheral(options);
    peripheral.start();
    Handle power(u"COM1:");
    EXPECT_TRUE(peripheral.isPowered());
    EXPECT_EQ(peripheral.waitForDataPort(300ms), 0u);
    EXPECT_THAT(activeDeviceNames(), ElementsAre("COM1:"));
}

TEST(PeripheralDataPort, AppearsNoSoonerThanTheDelayAfterPowerOn) {
    PeripheralOptions options = immediatePort();
    options.dataPortDelay = 150ms;
    Peripheral peripheral(options);
    peripheral.start();
    const auto poweredAt = std::chrono::steady_clock::now();
    Handle power(u"COM1:");
    EXPECT_EQ(peripheral.waitForDataPort(kBound), 2u);
    EXPECT_GE(std::chrono::steady_clock::now() - poweredAt, options.dataPortDelay);
    EXPECT_THAT(activeDeviceNames(), UnorderedElementsAre("COM1:", "COM2:"));
}

TEST(PeripheralDataPort, PowerOffBeforeTheDelayCancelsTheActivation) {
    PeripheralOptions options = immediatePort();
    options.dataPortDelay = 150ms;
    Peripheral peripheral(options);
    peripheral.start();
    { Handle power(u"COM1:"); }
    // Three times the delay: an activation that was not cancelled would have shown by then.
    EXPECT_EQ(peripheral.waitForDataPort(3 * options.dataPortDelay), 0u);
    EXPECT_THAT(activeDeviceNames(), ElementsAre("COM1:"));

    Handle power(u"COM1:");
    EXPECT_EQ(peripheral.waitForDataPort(kBound), 2u);
}

TEST(PeripheralDataPort, GoesAwayAtPowerOffAndFailsItsOpenHandles) {
    Peripheral peripheral(immediatePort());
    peripheral.start();
    Handle power(u"COM1:");
    Handle data(u"COM2:");
    ASSERT_TRUE(data.valid());
    EXPECT_TRUE(data.write({0x21, 0x00, 0x00}));

    power.close();
    EXPECT_EQ(peripheral.dataPortNumber(), 0u);
    EXPECT_THAT(activeDeviceNames(), ElementsAre("COM1:"));
    EXPECT_FALSE(data.write({0x21, 0x00, 0x00}));
    EXPECT_FALSE(peripheral.sendFrame(0, std::vector<std::uint8_t>{0x02}));
}

TEST(PeripheralDataPort, StaysListedForTheRemovalDelayAfterPowerOffButHearsNothing) {
    PeripheralOptions options = immediatePort();
    options.dataPortRemovalDelay = 150ms;
    Peripheral peripheral(options);
    peripheral.start();
    Handle power(u"COM1:");
    Handle data(u"COM2:");
    ASSERT_TRUE(data.valid());

    // The removal delay runs from within the close: the stamp is taken before it.
    const auto poweredOffAt = std::chrono::steady_clock::now();
    power.close();
    EXPECT_THAT(activeDeviceNames(), UnorderedElementsAre("COM1:", "COM2:"));
    EXPECT_EQ(peripheral.dataPortNumber(), 0u);
    EXPECT_FALSE(peripheral.sendFrame(0, std::vector<std::uint8_t>{0x02}));
    EXPECT_TRUE(data.write({0x21, 0x00, 0x02, 0x01, 0x00}));

    ASSERT_TRUE(peripheral.waitForDataPortRemoval(kBound));
    EXPECT_GE(std::chrono::steady_clock::now() - poweredOffAt, options.dataPortRemovalDelay);
    EXPECT_THAT(activeDeviceNames(), ElementsAre("COM1:"));
    EXPECT_FALSE(data.write({0x21, 0x00, 0x00}));
    EXPECT_TRUE(peripheral.receivedFrames().empty());
}

TEST(PeripheralDataPort, APowerOnTakesAPortStillDepartingAwayFirst) {
    PeripheralOptions options = immediatePort();
    options.dataPortRemovalDelay = std::chrono::minutes(10);
    Peripheral peripheral(options);
    peripheral.start();
    { Handle power(u"COM1:"); }
    EXPECT_THAT(activeDeviceNames(), UnorderedElementsAre("COM1:", "COM2:"));

    Handle power(u"COM1:");
    EXPECT_TRUE(peripheral.waitForDataPortRemoval(0ms));
    // The new port, not the old one: the number is chosen with the old one gone.
    EXPECT_EQ(peripheral.dataPortNumber(), 2u);
    EXPECT_THAT(activeDeviceNames(), UnorderedElementsAre("COM1:", "COM2:"));
}

TEST(PeripheralFrames, RecordsFramesHoweverTheyAreSplitOnAPacedLine) {
    PeripheralOptions options = immediatePort();
    options.dataBitRate = 115200;
    Peripheral peripheral(options);
    peripheral.start();
    Handle power(u"COM1:");
    Handle data(u"COM2:");
    ASSERT_TRUE(data.valid());

    ASSERT_TRUE(data.write({0x21, 0x00}));
    ASSERT_TRUE(data.write({0x02, 0x01, 0x00}));
    ASSERT_TRUE(peripheral.waitForFrames(1, kBound));
    ASSERT_TRUE(
        data.write({0x55, 0x21, 0x00, 0x02, 0x06, 0x00, 0x21, 0x00, 0x03, 0x0B, 0x21, 0x00}));
    ASSERT_TRUE(peripheral.waitForFrames(3, kBound));

    EXPECT_THAT(
        peripheral.receivedFrames(),
        ElementsAre(Frame{0, {0x01, 0x00}}, Frame{0, {0x06, 0x00}}, Frame{0, {0x0B, 0x21, 0x00}}));
}

TEST(PeripheralFrames, PowerCycleDiscardsAHalfReceivedFrame) {
    Peripheral peripheral(immediatePort());
    peripheral.start();
    {
        Handle power(u"COM1:");
        Handle data(u"COM2:");
        // A whole frame, then the start of one that the power-off cuts short.
        ASSERT_TRUE(data.write({0x21, 0x00, 0x01, 0x03, 0x21, 0x00, 0x05, 0x01}));
        ASSERT_TRUE(peripheral.waitForFrames(1, kBound));
        data.close();
    }
    Handle power(u"COM1:");
    Handle data(u"COM2:");
    ASSERT_TRUE(data.write({0x21, 0x00, 0x02, 0x01, 0x00}));
    ASSERT_TRUE(peripheral.waitForFrames(2, kBound));
    EXPECT_THAT(peripheral.receivedFrames(), ElementsAre(Frame{0, {0x03}}, Frame{0, {0x01, 0x00}}));
}

TEST(PeripheralFrames, SendFrameReachesTheLibrarySide) {
    Peripheral peripheral(immediatePort());
    peripheral.start();
    EXPECT_FALSE(peripheral.sendFrame(0, std::vector<std::uint8_t>{0x03, 0x00}));
    Handle power(u"COM1:");
    Handle data(u"COM2:");
    ASSERT_TRUE(peripheral.sendFrame(0, std::vector<std::uint8_t>{0x03, 0x00}));
    EXPECT_THAT(data.read(5), ElementsAre(0x21, 0x00, 0x02, 0x03, 0x00));
}

TEST(PeripheralFrames, FrameHandlerSeesEachFrameAndMayAnswer) {
    Peripheral peripheral(immediatePort());
    std::vector<Frame> seen;
    peripheral.setFrameHandler([&](const Frame& frame) {
        seen.push_back(frame);
        const std::vector<std::uint8_t> answer{static_cast<std::uint8_t>(*frame.code() + 1)};
        peripheral.sendFrame(0, answer);
    });
    peripheral.start();
    Handle power(u"COM1:");
    Handle data(u"COM2:");
    ASSERT_TRUE(data.write({0x21, 0x00, 0x02, 0x01, 0x00, 0x21, 0x00, 0x02, 0x06, 0x00}));
    EXPECT_THAT(data.read(8), ElementsAre(0x21, 0x00, 0x01, 0x02, 0x21, 0x00, 0x01, 0x07));
    // The answers were sent from within the handler, so both calls are over.
    EXPECT_THAT(seen, ElementsAre(Frame{0, {0x01, 0x00}}, Frame{0, {0x06, 0x00}}));
}

// A write returns once its bytes have left the library's end, before the peripheral has read
// them; a settled view waits until it has handled them all.
TEST(PeripheralFrames, SettlesOnceItHasHandledEveryFrameWritten) {
    PeripheralOptions options = immediatePort();
    options.dataBitRate = 115200;
    Peripheral peripheral(options);
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    peripheral.setFrameHandler([&](const Frame&) { released.wait(); });
    peripheral.start();
    Handle power(u"COM1:");
    Handle data(u"COM2:");
    EXPECT_TRUE(peripheral.waitForSettled(kBound)) << "nothing written yet";

    ASSERT_TRUE(data.write({0x21, 0x00, 0x02, 0x01, 0x00, 0x21, 0x00, 0x02, 0x06, 0x00}));
    ASSERT_TRUE(peripheral.waitForFrames(1, kBound));
    EXPECT_FALSE(peripheral.waitForSettled(20ms)) << "the handler still holds the first frame";
    release.set_value();
    EXPECT_TRUE(peripheral.waitForSettled(kBound));
    EXPECT_THAT(peripheral.receivedFrames(),
                ElementsAre(Frame{0, {0x01, 0x00}}, Frame{0, {0x06, 0x00}}));
}

}  // namespace
}  // namespace sim

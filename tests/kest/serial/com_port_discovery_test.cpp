#include "serial/com_port_discovery.h"

#include <gtest/gtest.h>
#include <host/registry.h>

#include <string>
#include <vector>

namespace {

using kest::ActiveComPortMask;
using kest::FindComPortName;
using kest::ReadActiveEntry;

constexpr DWORD bit(int n) {
    return DWORD{1} << n;
}

// Each test starts from an empty Drivers\Active and writes the entries the device manager would.
class ComPortDiscovery : public ::testing::Test {
  protected:
    void SetUp() override { host::registry::reset(); }
    void TearDown() override { host::registry::reset(); }

    void addEntry(const std::u16string& key, const std::u16string& name) {
        HKEY entry = createEntry(key);
        const auto* data = reinterpret_cast<const BYTE*>(name.c_str());
        ASSERT_EQ(RegSetValueExW(entry, u"Name", 0, REG_SZ, data,
                                 static_cast<DWORD>((name.size() + 1) * sizeof(char16_t))),
                  ERROR_SUCCESS);
        RegCloseKey(entry);
    }

    void addComPort(int number) {
        const std::u16string digits = toU16(std::to_string(number));
        addEntry(u"Com" + digits, u"COM" + digits + u":");
    }

    HKEY createEntry(const std::u16string& key) {
        const std::u16string path = u"Drivers\\Active\\" + key;
        HKEY entry = nullptr;
        DWORD disposition = 0;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &entry, &disposition),
                  ERROR_SUCCESS);
        return entry;
    }

    static std::u16string toU16(const std::string& s) { return {s.begin(), s.end()}; }

    static std::string portName(DWORD number) {
        char name[20];
        std::fill(std::begin(name), std::end(name), 'x');
        EXPECT_TRUE(FindComPortName(number, name));
        EXPECT_NE(std::find(std::begin(name), std::end(name), '\0'), std::end(name));
        return name;
    }
};

TEST_F(ComPortDiscovery, LowestNewPortAfterPowerOn) {
    addComPort(1);
    addComPort(3);
    const DWORD before = ActiveComPortMask();
    EXPECT_EQ(before, bit(1) | bit(3));

    addComPort(7);
    addComPort(5);
    const DWORD after = ActiveComPortMask();
    EXPECT_EQ(after, bit(1) | bit(3) | bit(5) | bit(7));

    const DWORD fresh = after & ~before;
    const int lowest = __builtin_ctz(fresh);
    EXPECT_EQ(lowest, 5);
    EXPECT_EQ(portName(5), "COM5:");
    EXPECT_EQ(portName(7), "COM7:");
}

TEST_F(ComPortDiscovery, EntriesThatAreNoComPortAreSkipped) {
    addEntry(u"Zero", u"COM0:");
    addEntry(u"Sensor", u"DRX1:");
    addEntry(u"Short", u"CO");
    addEntry(u"NoNumber", u"COM:");
    HKEY noName = createEntry(u"NoName");
    RegCloseKey(noName);
    HKEY numeric = createEntry(u"Numeric");
    const DWORD word = 4;
    RegSetValueExW(numeric, u"Name", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&word),
                   sizeof word);
    RegCloseKey(numeric);
    addComPort(2);

    EXPECT_EQ(ActiveComPortMask(), bit(2));
    EXPECT_EQ(portName(2), "COM2:");
    EXPECT_EQ(portName(4), "");
}

TEST_F(ComPortDiscovery, ReadActiveEntryResults) {
    addEntry(u"Sensor", u"DRX1:");
    addComPort(9);
    HKEY active = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, &active),
              ERROR_SUCCESS);
    char name[16] = "untouched";
    EXPECT_EQ(ReadActiveEntry(active, 0, name), 0u);
    EXPECT_STREQ(name, "untouched");
    EXPECT_EQ(ReadActiveEntry(active, 1, name), 9u);
    EXPECT_STREQ(name, "COM9:");
    EXPECT_EQ(ReadActiveEntry(active, 1, nullptr), 9u);
    EXPECT_EQ(ReadActiveEntry(active, 2, name), kest::kNoMoreActiveEntries);
    RegCloseKey(active);
}

TEST_F(ComPortDiscovery, PrefixIgnoresCase) {
    addEntry(u"Lower", u"com6:");
    EXPECT_EQ(ActiveComPortMask(), bit(6));
    EXPECT_EQ(portName(6), "com6:");
}

// A port of another driver numbered beyond the mask, listed before the others, must not hide
// them: it sets no bit and is never found, and the walks go on to the end of the list.
TEST_F(ComPortDiscovery, PortNumberedThirtyTwoOrMoreIsPassedOver) {
    addComPort(40);
    addComPort(2);
    addComPort(32);
    addComPort(4);
    EXPECT_EQ(ActiveComPortMask(), bit(2) | bit(4));
    EXPECT_EQ(portName(4), "COM4:");
    EXPECT_EQ(portName(2), "COM2:");
    EXPECT_EQ(portName(32), "");
    EXPECT_EQ(portName(40), "");
}

TEST_F(ComPortDiscovery, HugeNumberDoesNotWrapToASmallOne) {
    // 2^32 + 5 would read as 5 in 32-bit arithmetic.
    addEntry(u"Huge", u"COM4294967301:");
    addComPort(6);
    EXPECT_EQ(ActiveComPortMask(), bit(6));
    EXPECT_EQ(portName(5), "");
}

TEST_F(ComPortDiscovery, NameWithoutRoomForTerminatorIsSkipped) {
    addEntry(u"Long", u"COM5:0123456789A");  // 16 characters
    addEntry(u"Fits", u"COM8:0123456789");   // 15 characters
    EXPECT_EQ(ActiveComPortMask(), bit(8));
    EXPECT_EQ(portName(5), "");
    EXPECT_EQ(portName(8), "COM8:0123456789");
}

TEST_F(ComPortDiscovery, ValueFillingTheWholeBufferIsReadSafely) {
    // 64 characters and no terminator: the 128 bytes the query may take, all in use.
    std::u16string value = u"COM3:";
    value.resize(64, u'x');
    HKEY entry = createEntry(u"Full");
    RegSetValueExW(entry, u"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()), 128);
    RegCloseKey(entry);
    value.resize(80, u'y');
    addEntry(u"TooLong", value);
    addComPort(1);
    EXPECT_EQ(ActiveComPortMask(), bit(1));
}

TEST_F(ComPortDiscovery, SearchOverwritesNameWithEachComEntryUntilItsMatch) {
    addComPort(1);
    addComPort(5);
    addComPort(3);
    EXPECT_EQ(portName(5), "COM5:");
    EXPECT_EQ(portName(3), "COM3:");
    EXPECT_EQ(portName(0), "");
    EXPECT_EQ(portName(31), "");
}

TEST_F(ComPortDiscovery, NoActiveKey) {
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers\\Active"), ERROR_SUCCESS);
    EXPECT_EQ(ActiveComPortMask(), 0u);
    char name[16] = "untouched";
    EXPECT_FALSE(FindComPortName(1, name));
    EXPECT_STREQ(name, "untouched");
}

TEST_F(ComPortDiscovery, NoEntries) {
    EXPECT_EQ(ActiveComPortMask(), 0u);
    EXPECT_EQ(portName(1), "");
}

}  // namespace

#include "settings.h"

#include <gtest/gtest.h>
#include <host/registry.h>
#include <windows.h>

#include "attach.h"

namespace {

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::registry::reset();
        FillSettingsTable(&settings, table);
    }

    static void SetDword(const WCHAR* name, DWORD value) {
        HKEY key = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, DERMO_CLIENT_DRIVER_KEY, 0, nullptr, 0, 0,
                                  nullptr, &key, &disposition),
                  ERROR_SUCCESS);
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }

    DWORD Read() { return ReadSettings(DERMO_CLIENT_DRIVER_KEY, table); }

    DWORD ReadBulkSize(DWORD stored) {
        SetDword(u"MaxBulkReadSize", stored);
        Read();
        return settings.maxBulkReadSize;
    }

    SensorSettings settings{};
    SettingEntry table[kSettingsTableRows];
};

TEST_F(SettingsTest, BulkSizesAreClampedAndCutToMultiplesOf64) {
    EXPECT_EQ(ReadBulkSize(100), 64u);
    EXPECT_EQ(ReadBulkSize(5000), 4992u);
    EXPECT_EQ(ReadBulkSize(10000), 8192u);
    EXPECT_EQ(ReadBulkSize(0), 64u);
    EXPECT_EQ(ReadBulkSize(8192), 8192u);
}

TEST_F(SettingsTest, AMissingKeyGivesEveryDefault) {
    settings = {1, 1, 1, 1, 1, 1};
    EXPECT_EQ(Read(), 0u);
    EXPECT_EQ(settings.maxBulkReadSize, 4096u);
    EXPECT_EQ(settings.maxBulkWriteSize, 4096u);
    EXPECT_EQ(settings.maxIntReadSize, 4096u);
    EXPECT_EQ(settings.timeoutPerRequest, 0u);
    EXPECT_EQ(settings.bulkRetryNumber, 0u);
    EXPECT_EQ(settings.detachPause, 1000u);
}

TEST_F(SettingsTest, AStringOrAbsentValueGivesTheDefault) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, DERMO_CLIENT_DRIVER_KEY, 0, nullptr, 0, 0,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    const WCHAR text[] = u"8192";
    RegSetValueExW(key, u"MaxBulkReadSize", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   sizeof text);
    const WCHAR shortText[] = u"1";  // four bytes, like a DWORD, but a string
    RegSetValueExW(key, u"MaxBulkWriteSize", 0, REG_SZ, reinterpret_cast<const BYTE*>(shortText),
                   sizeof shortText);
    RegCloseKey(key);
    EXPECT_EQ(Read(), 0u);
    EXPECT_EQ(settings.maxBulkReadSize, 4096u);
    EXPECT_EQ(settings.maxBulkWriteSize, 4096u);
}

TEST_F(SettingsTest, OtherRowsClampWithoutAMask) {
    SetDword(u"MaxIntReadSize", 0);
    SetDword(u"BulkRetryNumber", 20);
    SetDword(u"TimeoutPerRequest", 7);
    SetDword(u"MaxBulkWriteSize", 200);
    EXPECT_EQ(Read(), 4u);
    EXPECT_EQ(settings.maxIntReadSize, 1u);
    EXPECT_EQ(settings.bulkRetryNumber, 16u);
    EXPECT_EQ(settings.timeoutPerRequest, 1u);
    EXPECT_EQ(settings.maxBulkWriteSize, 192u);

    SetDword(u"MaxIntReadSize", 100);  // no mask: not cut to a multiple of 64
    Read();
    EXPECT_EQ(settings.maxIntReadSize, 100u);
}

}  // namespace

// USBInstallDriver and USBUnInstallDriver against recording stand-ins of the USB driver library's
// registration calls (this program's definitions take the place of the platform's).
#include <gtest/gtest.h>
#include <host/registry.h>
#include <usbdi.h>

#include <string>
#include <utility>
#include <vector>

#include "attach.h"
#include "exports.h"
#include "sensor_identity.h"

namespace {

struct Registration {
    std::u16string call;
    std::u16string libFile;
    std::u16string driverId;
    USB_DRIVER_SETTINGS settings{};
};

std::vector<Registration> calls;
bool failDriverId = false;
int failSettingsCall = -1;  // index among the RegisterClientSettings calls, or -1

std::u16string Text(LPCWSTR text) {
    return text != nullptr ? std::u16string(text) : u"<null>";
}

}  // namespace

extern "C" BOOL RegisterClientDriverID(LPCWSTR id) {
    calls.push_back({u"RegisterClientDriverID", {}, Text(id), {}});
    return !failDriverId;
}

extern "C" BOOL UnRegisterClientDriverID(LPCWSTR id) {
    calls.push_back({u"UnRegisterClientDriverID", {}, Text(id), {}});
    return TRUE;
}

extern "C" BOOL RegisterClientSettings(LPCWSTR lib, LPCWSTR id, LPCWSTR reserved,
                                       LPCUSB_DRIVER_SETTINGS settings) {
    const int index = static_cast<int>(std::count_if(
        calls.begin(), calls.end(), [](auto& c) { return c.call == u"RegisterClientSettings"; }));
    EXPECT_EQ(reserved, nullptr);
    calls.push_back({u"RegisterClientSettings", Text(lib), Text(id), *settings});
    return index != failSettingsCall;
}

extern "C" BOOL UnRegisterClientSettings(LPCWSTR id, LPCWSTR reserved,
                                         LPCUSB_DRIVER_SETTINGS settings) {
    EXPECT_EQ(reserved, nullptr);
    calls.push_back({u"UnRegisterClientSettings", {}, Text(id), *settings});
    return TRUE;
}

namespace {

class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::registry::reset();
        calls.clear();
        failDriverId = false;
        failSettingsCall = -1;
    }

    static std::vector<Registration> CallsOf(const std::u16string& name) {
        std::vector<Registration> result;
        for (const Registration& r : calls)
            if (r.call == name) result.push_back(r);
        return result;
    }

    static bool DriverKeyExists() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, DERMO_CLIENT_DRIVER_KEY, 0, 0, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    // The ten pairings of the identity table, vendor-major.
    static std::vector<std::pair<DWORD, DWORD>> Pairings() {
        std::vector<std::pair<DWORD, DWORD>> pairs;
        for (DWORD v = 0; v < kSensorVendorCount; ++v)
            for (DWORD p = 0; p < kSensorProductCount; ++p)
                pairs.emplace_back(SensorIdentityTable[v],
                                   SensorIdentityTable[kSensorVendorCount + p]);
        return pairs;
    }

    static void ExpectSettings(const std::vector<Registration>& made) {
        const auto pairs = Pairings();
        ASSERT_EQ(made.size(), 10u);
        for (std::size_t i = 0; i < made.size(); ++i) {
            const USB_DRIVER_SETTINGS& s = made[i].settings;
            EXPECT_EQ(made[i].driverId, u"Papilla_USB_driver");
            EXPECT_EQ(s.dwCount, 40u);
            EXPECT_EQ(s.dwVendorId, pairs[i].first) << i;
            EXPECT_EQ(s.dwProductId, pairs[i].second) << i;
            for (DWORD field :
                 {s.dwReleaseNumber, s.dwDeviceClass, s.dwDeviceSubClass, s.dwDeviceProtocol,
                  s.dwInterfaceClass, s.dwInterfaceSubClass, s.dwInterfaceProtocol})
                EXPECT_EQ(field, USB_NO_INFO);
        }
    }
};

TEST_F(InstallTest, RegistersTenPairingsVendorMajorAndWritesTheDriverKey) {
    ASSERT_TRUE(USBInstallDriver(u"DERMO.DLL"));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().call, u"RegisterClientDriverID");
    const auto made = CallsOf(u"RegisterClientSettings");
    ExpectSettings(made);
    for (const Registration& r : made) EXPECT_EQ(r.libFile, u"DERMO.DLL");
    EXPECT_TRUE(CallsOf(u"UnRegisterClientSettings").empty());

    // The pairings are distinct: every vendor with every product.
    const auto pairs = Pairings();
    for (std::size_t i = 0; i < pairs.size(); ++i)
        for (std::size_t j = i + 1; j < pairs.size(); ++j) EXPECT_NE(pairs[i], pairs[j]);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, DERMO_CLIENT_DRIVER_KEY, 0, 0, &key),
              ERROR_SUCCESS);
    WCHAR text[32] = {};
    DWORD size = sizeof text;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExW(key, u"Dll", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(text), u"DERMO.DLL");
    size = sizeof text;
    ASSERT_EQ(
        RegQueryValueExW(key, u"Prefix", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(text), u"DRX");
    EXPECT_EQ(type, DWORD{REG_SZ});
    RegCloseKey(key);
}

TEST_F(InstallTest, OneFailedSettingsCallUnregistersEverything) {
    failSettingsCall = 6;
    EXPECT_FALSE(USBInstallDriver(u"DERMO.DLL"));
    // All ten were still attempted, then all ten removed and the client id with them.
    EXPECT_EQ(CallsOf(u"RegisterClientSettings").size(), 10u);
    ExpectSettings(CallsOf(u"UnRegisterClientSettings"));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().call, u"UnRegisterClientDriverID");
    EXPECT_FALSE(DriverKeyExists());
}

TEST_F(InstallTest, AFailedClientIdRegistrationStopsAtOnce) {
    failDriverId = true;
    EXPECT_FALSE(USBInstallDriver(u"DERMO.DLL"));
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_FALSE(DriverKeyExists());
}

// What becomes of the driver key is the host stack's business (sensor_road_test.cpp).
TEST_F(InstallTest, UninstallRemovesThePairingsThenTheClientId) {
    ASSERT_TRUE(USBInstallDriver(u"DERMO.DLL"));
    calls.clear();
    EXPECT_TRUE(USBUnInstallDriver());
    ExpectSettings(CallsOf(u"UnRegisterClientSettings"));
    EXPECT_EQ(calls.back().call, u"UnRegisterClientDriverID");
}

}  // namespace

#include "stack_fixture.h"

namespace {

using namespace dermo_stack_test;

class SensorRoadTest : public StackTest {};

// The client driver key as the host stack's uninstall leaves it: what the install wrote and
// what the user added are still there.
TEST_F(SensorRoadTest, InstallRegistersEachModelUnderLoadClientsAndUninstallKeepsTheDriverKey) {
    HKEY key = nullptr;
    // Vendor 0x1A2B (6699) with product 0x0101 (257), and the second vendor's last product.
    for (const WCHAR* path :
         {u"Drivers\\USB\\LoadClients\\6699_257\\Default\\Default\\Papilla_USB_driver",
          u"Drivers\\USB\\LoadClients\\6700_769\\Default\\Default\\Papilla_USB_driver"}) {
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    const WCHAR* driverKey = u"Drivers\\USB\\ClientDrivers\\Papilla_USB_driver";
    const DWORD userValue = 1024;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, driverKey, 0, 0, &key), ERROR_SUCCESS);
    RegSetValueExW(key, u"MaxBulkReadSize", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&userValue), sizeof userValue);
    RegCloseKey(key);

    ASSERT_TRUE(host::usb::uninstallDriver("DERMO.DLL"));
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            u"Drivers\\USB\\LoadClients\\6699_257\\Default\\Default\\"
                            u"Papilla_USB_driver",
                            0, 0, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, driverKey, 0, 0, &key), ERROR_SUCCESS);
    WCHAR prefix[4] = {};
    DWORD setting = 0;
    DWORD size = sizeof prefix;
    EXPECT_EQ(RegQueryValueExW(key, u"Prefix", nullptr, nullptr, reinterpret_cast<BYTE*>(prefix),
                               &size),
              ERROR_SUCCESS);
    size = sizeof setting;
    EXPECT_EQ(RegQueryValueExW(key, u"MaxBulkReadSize", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&setting), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(std::u16string(prefix), u"DRX");
    EXPECT_EQ(setting, userValue);
}

TEST_F(SensorRoadTest, PlugOpenCloseUnplug) {
    const host::usb::PlugResult plugged = Plug(Profile("default"));
    ASSERT_TRUE(plugged.attached);
    EXPECT_EQ(plugged.driverId, "Papilla_USB_driver");
    ASSERT_TRUE(DrxActive());
    EXPECT_TRUE(sensor->suspended());  // idle until the first open
    EXPECT_EQ(sensor->selectedAlternateSetting(), 0);

    HANDLE first = Open();
    HANDLE second = Open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sensor->resumeCount(), 1u);
    EXPECT_FALSE(sensor->suspended());
    CloseHandle(first);
    EXPECT_FALSE(sensor->suspended());
    CloseHandle(second);
    EXPECT_TRUE(sensor->suspended());
    EXPECT_EQ(sensor->suspendCount(), 2u);

    UnplugAndWait();
    EXPECT_FALSE(DrxActive());
}

TEST_F(SensorRoadTest, SensorsTheDriverDoesNotDriveStayUnattached) {
    for (const char* name : {"two_endpoints", "mass_storage"}) {
        EXPECT_FALSE(Plug(Profile(name)).attached) << name;
        EXPECT_FALSE(DrxActive()) << name;
        UnplugAndWait();
    }
}

TEST_F(SensorRoadTest, AnIdleAlternateSettingIsSkippedForTheOneWithPipes) {
    ASSERT_TRUE(Plug(Profile("alternate_setting")).attached);
    EXPECT_EQ(sensor->selectedAlternateSetting(), 1);
}

TEST_F(SensorRoadTest, AStackWithoutSuspendNeverSuspends) {
    ASSERT_TRUE(Plug(Profile("no_suspend")).attached);
    HANDLE handle = Open();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    UnplugAndWait();
    EXPECT_EQ(sensor->suspendCount(), 0u);
    EXPECT_EQ(sensor->resumeCount(), 0u);
}

TEST_F(SensorRoadTest, UnplugWaitsForTheLastCloseAndRefusesNewOpens) {
    ASSERT_TRUE(Plug(Profile("default")).attached);
    HANDLE first = Open();
    HANDLE second = Open();
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(host::usb::unplug(id));
    // The notification holds the sensor while handles are open.
    ASSERT_TRUE(WaitDetached(first));
    EXPECT_FALSE(host::usb::waitUnplugged(id, 0));
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(DrxActive());
    EXPECT_TRUE(CloseHandle(second));
    ASSERT_TRUE(host::usb::waitUnplugged(id, 10000));
    id = 0;
    EXPECT_FALSE(DrxActive());
}

TEST_F(SensorRoadTest, AThousandCyclesLeakNothing) {
    const sim::SensorProfile profile = Profile("default");
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_TRUE(Plug(profile).attached) << cycle;
        HANDLE handle = Open();
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << cycle;
        ASSERT_TRUE(CloseHandle(handle));
        UnplugAndWait();
    }
    EXPECT_FALSE(DrxActive());
}

}  // namespace

// Client registration: the LoadClients and ClientDrivers keys, and the client's own install.
#include <usbdi.h>

#include "usb_fixture.h"

namespace {

constexpr char16_t kLoadClients[] = u"Drivers\\USB\\LoadClients\\";

USB_DRIVER_SETTINGS settings(DWORD vendor, DWORD product, DWORD release = USB_NO_INFO) {
    return {sizeof(USB_DRIVER_SETTINGS),
            vendor,
            product,
            release,
            USB_NO_INFO,
            USB_NO_INFO,
            USB_NO_INFO,
            USB_NO_INFO,
            USB_NO_INFO,
            USB_NO_INFO};
}

using RegistrationTest = UsbTest;

TEST_F(RegistrationTest, SettingsNameTheGroupsInDecimalWithDefaultForNoInformation) {
    const USB_DRIVER_SETTINGS vendorProduct = settings(4660, 22136);
    ASSERT_TRUE(RegisterClientSettings(u"A.DLL", u"DriverA", nullptr, &vendorProduct));
    EXPECT_EQ(
        readString(std::u16string(kLoadClients) + u"4660_22136\\Default\\Default\\DriverA", u"DLL"),
        u"A.DLL");

    const USB_DRIVER_SETTINGS every{40, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(RegisterClientSettings(u"B.DLL", u"DriverB", nullptr, &every));
    EXPECT_EQ(readString(std::u16string(kLoadClients) + u"1_2_3\\4_5_6\\7_8_9\\DriverB", u"Dll"),
              u"B.DLL");

    USB_DRIVER_SETTINGS interfaceOnly = settings(USB_NO_INFO, USB_NO_INFO);
    interfaceOnly.dwInterfaceClass = 255;
    ASSERT_TRUE(RegisterClientSettings(u"C.DLL", u"DriverC", nullptr, &interfaceOnly));
    EXPECT_TRUE(keyExists(std::u16string(kLoadClients) + u"Default\\Default\\255\\DriverC"));
}

TEST_F(RegistrationTest, UnusableArgumentsAreRefusedAndWriteNothing) {
    const USB_DRIVER_SETTINGS good = settings(1, 2);
    // A product without a vendor cannot be expressed as a key.
    const USB_DRIVER_SETTINGS gap = settings(USB_NO_INFO, 2);
    USB_DRIVER_SETTINGS shortRecord = good;
    shortRecord.dwCount = 36;
    struct Case {
        LPCWSTR dll;
        LPCWSTR id;
        LPCUSB_DRIVER_SETTINGS settings;
    };
    for (const Case& c :
         {Case{u"A.DLL", u"Id", &gap}, Case{u"A.DLL", u"Id", &shortRecord},
          Case{u"A.DLL", u"Id", nullptr}, Case{u"", u"Id", &good}, Case{nullptr, u"Id", &good},
          Case{u"A.DLL", u"", &good}, Case{u"A.DLL", u"Bad\\Id", &good}}) {
        SetLastError(0);
        EXPECT_FALSE(RegisterClientSettings(c.dll, c.id, nullptr, c.settings));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_FALSE(keyExists(u"Drivers\\USB\\LoadClients"));
    EXPECT_FALSE(RegisterClientDriverID(u"a\\b"));
    EXPECT_FALSE(RegisterClientDriverID(nullptr));
}

TEST_F(RegistrationTest, UnregisteringRemovesTheDriverAndOnlyTheGroupsLeftEmpty) {
    const USB_DRIVER_SETTINGS first = settings(1, 2);
    const USB_DRIVER_SETTINGS sameProductOtherRelease = settings(1, 2, 3);
    ASSERT_TRUE(RegisterClientSettings(u"A.DLL", u"One", nullptr, &first));
    ASSERT_TRUE(RegisterClientSettings(u"A.DLL", u"Two", nullptr, &first));
    ASSERT_TRUE(RegisterClientSettings(u"A.DLL", u"One", nullptr, &sameProductOtherRelease));

    ASSERT_TRUE(UnRegisterClientSettings(u"One", nullptr, &first));
    EXPECT_FALSE(keyExists(std::u16string(kLoadClients) + u"1_2\\Default\\Default\\One"));
    EXPECT_TRUE(keyExists(std::u16string(kLoadClients) + u"1_2\\Default\\Default\\Two"));

    ASSERT_TRUE(UnRegisterClientSettings(u"Two", nullptr, &first));
    EXPECT_FALSE(keyExists(std::u16string(kLoadClients) + u"1_2"));
    EXPECT_TRUE(keyExists(std::u16string(kLoadClients) + u"1_2_3\\Default\\Default\\One"));

    // Nothing registered under that key any more.
    SetLastError(0);
    EXPECT_FALSE(UnRegisterClientSettings(u"Two", nullptr, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistrationTest, ClientDriverIdKeyIsCreatedOpenedAndRemovedOnlyWhileBare) {
    EXPECT_EQ(OpenClientRegistryKey(u"Papilla"), nullptr);
    ASSERT_TRUE(RegisterClientDriverID(u"Papilla"));
    HKEY key = OpenClientRegistryKey(u"papilla");  // names compare without case
    ASSERT_NE(key, nullptr);
    const DWORD value = 5;
    EXPECT_EQ(RegSetValueExW(key, u"Setting", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(keyExists(u"Drivers\\USB\\ClientDrivers\\Papilla"));

    // A value under the key is the driver's configuration, which outlives its registration.
    EXPECT_TRUE(UnRegisterClientDriverID(u"Papilla"));
    EXPECT_TRUE(keyExists(u"Drivers\\USB\\ClientDrivers\\Papilla"));

    ASSERT_TRUE(RegisterClientDriverID(u"Bare"));
    EXPECT_TRUE(UnRegisterClientDriverID(u"Bare"));
    EXPECT_FALSE(keyExists(u"Drivers\\USB\\ClientDrivers\\Bare"));
    EXPECT_FALSE(UnRegisterClientDriverID(u"Bare"));
}

TEST_F(RegistrationTest, InstallDriverRunsTheClientsOwnRegistrationAndUninstallUndoesIt) {
    installClient();
    EXPECT_EQ(
        readString(std::u16string(kLoadClients) + u"4660_22136\\Default\\Default\\Test_USB_client",
                   u"DLL"),
        u"USBTESTCLIENT.DLL");
    EXPECT_EQ(readString(kTestClientKey, u"Prefix"), u"XYZ");

    EXPECT_TRUE(host::usb::uninstallDriver(kTestClientDll));
    EXPECT_FALSE(keyExists(u"Drivers\\USB\\LoadClients\\4660_22136"));
    EXPECT_EQ(readString(kTestClientKey, u"Prefix"), u"XYZ");  // the client's own value stays
}

TEST_F(RegistrationTest, InstallingALibraryThatIsNotThereFails) {
    SetLastError(0);
    EXPECT_FALSE(host::usb::installDriver("NOSUCH.DLL"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(host::liveHandleCount(), handlesBefore);
}

}  // namespace

// Plug and unplug: finding the client, USBDeviceAttach, the stream device it publishes, and the
// close notification.
#include <host/devices.h>
#include <host/registry.h>

#include <cstring>

#include "usb_fixture.h"

namespace {

using AttachTest = UsbTest;

TEST_F(AttachTest, PluggedDeviceReachesItsClientAndTheClientsStreamDevice) {
    device->autoReply = true;
    device->replyData = {1, 2, 3, 4, 5};
    const host::usb::DeviceId id = plugAttached();

    EXPECT_EQ(client().attachCalls, 1);
    EXPECT_EQ(client().driverId, kTestClientId);
    ASSERT_NE(client().funcs, nullptr);
    EXPECT_EQ(client().funcs->dwCount, sizeof(USB_FUNCS));
    EXPECT_EQ(client().interfaceGiven, nullptr);  // registered for the whole device
    EXPECT_EQ(client().settings.dwCount, sizeof(USB_DRIVER_SETTINGS));
    EXPECT_EQ(client().settings.dwVendorId, kTestVendor);
    EXPECT_EQ(client().settings.dwProductId, kTestProduct);
    EXPECT_EQ(client().settings.dwReleaseNumber, USB_NO_INFO);
    EXPECT_EQ(client().settings.dwInterfaceClass, USB_NO_INFO);
    ASSERT_NE(client().bulkIn, nullptr);
    ASSERT_NE(client().activeDevice, nullptr);
    EXPECT_EQ(client().inits, 1);

    HANDLE file = CreateFileW(u"XYZ1:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    BYTE buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    ASSERT_EQ(read, 5u);
    EXPECT_EQ(std::memcmp(buffer, device->replyData.data(), 5), 0);
    EXPECT_TRUE(CloseHandle(file));

    unplugAndWait(id);
    EXPECT_EQ(client().notifications, 1);
    EXPECT_EQ(client().notifyCode, static_cast<DWORD>(USB_CLOSE_DEVICE));
    EXPECT_NE(client().notifyThread, GetCurrentThreadId());
    EXPECT_EQ(client().deinits, 1);
    EXPECT_TRUE(host::devices::activeDevices().empty());
    EXPECT_EQ(device->unpluggedCalls.load(), 1);
    EXPECT_EQ(host::liveHandleCount(), handlesBefore);
    const auto live = host::usb::liveObjects();
    EXPECT_EQ(live.devices, 0u);
    EXPECT_EQ(live.pipes, 0u);
    EXPECT_EQ(live.transfers, 0u);
    // The device's handles name nothing any more.
    SetLastError(0);
    EXPECT_EQ(client().funcs->lpGetDeviceInfo(client().device), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(AttachTest, UnplugReturnsAtOnceWhileTheNotificationBlocksAndTheWaitEndsWithIt) {
    const host::usb::DeviceId id = plugAttached();
    client().notificationEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    client().notificationGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    ASSERT_TRUE(host::usb::unplug(id));
    EXPECT_FALSE(host::usb::unplug(id));  // once
    ASSERT_EQ(WaitForSingleObject(client().notificationEntered, 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(host::usb::waitUnplugged(id, 0));
    // While the client tears down, its handles still work, but the device takes no transfer.
    LPCUSB_FUNCS funcs = client().funcs;
    EXPECT_NE(funcs->lpGetDeviceInfo(client().device), nullptr);
    BYTE buffer[4];
    SetLastError(0);
    EXPECT_EQ(funcs->lpIssueBulkTransfer(client().bulkIn, nullptr, nullptr, USB_IN_TRANSFER,
                                         sizeof buffer, buffer, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

    SetEvent(client().notificationGate);
    EXPECT_TRUE(host::usb::waitUnplugged(id, 10000));
    EXPECT_TRUE(host::usb::waitUnplugged(id, 0));
    CloseHandle(client().notificationEntered);
    CloseHandle(client().notificationGate);
    EXPECT_EQ(host::liveHandleCount(), handlesBefore);
}

TEST_F(AttachTest, DeviceWithoutARegisteredClientStaysPluggedUnclaimed) {
    const host::usb::PlugResult result = host::usb::plug(device);
    ASSERT_NE(result.id, 0u);
    EXPECT_FALSE(result.attached);
    EXPECT_EQ(client().attachCalls, 0);
    EXPECT_EQ(host::usb::liveObjects().devices, 1u);
    EXPECT_FALSE(host::usb::waitUnplugged(result.id, 0));  // not unplugged
    unplugAndWait(result.id);
    EXPECT_EQ(device->unpluggedCalls.load(), 1);
    EXPECT_EQ(host::usb::liveObjects().devices, 0u);
}

TEST_F(AttachTest, MostSpecificKeyWinsAndARefusingClientIsCleanedUp) {
    // Three candidates: a refusing client under the most specific key, then one for the
    // product, then one for the vendor only.
    ASSERT_TRUE(host::registry::loadText(R"(REGEDIT4
[HKEY_LOCAL_MACHINE\Drivers\USB\LoadClients\4660\Default\Default\ByVendor]
"DLL"="USBTESTCLIENT.DLL"
[HKEY_LOCAL_MACHINE\Drivers\USB\LoadClients\4660_22136\Default\Default\ByProduct]
"DLL"="USBTESTCLIENT.DLL"
[HKEY_LOCAL_MACHINE\Drivers\USB\LoadClients\4660_22136_256\Default\Default\RefuseFirst]
"DLL"="USBTESTCLIENT.DLL"
)"));
    const host::usb::PlugResult result = host::usb::plug(device);
    ASSERT_TRUE(result.attached);
    EXPECT_EQ(result.driverId, "ByProduct");
    EXPECT_EQ(result.loadKey, "Drivers\\USB\\LoadClients\\4660_22136\\Default\\Default\\ByProduct");
    EXPECT_EQ(client().attachCalls, 2);
    EXPECT_EQ(client().refusals, 1);
    EXPECT_EQ(client().settings.dwProductId, kTestProduct);
    // The refusing client's pipe was closed by the stack: only the taker's two remain.
    EXPECT_EQ(host::usb::liveObjects().pipes, 2u);
    unplugAndWait(result.id);
    EXPECT_EQ(host::usb::liveObjects().pipes, 0u);
}

TEST_F(AttachTest, InterfaceKeyHandsTheMatchingInterfaceToTheClient) {
    ASSERT_TRUE(host::registry::loadText(R"(REGEDIT4
[HKEY_LOCAL_MACHINE\Drivers\USB\LoadClients\Default\Default\255\ForInterface]
"DLL"="USBTESTCLIENT.DLL"
)"));
    const host::usb::PlugResult result = host::usb::plug(device);
    ASSERT_TRUE(result.attached);
    ASSERT_NE(client().interfaceGiven, nullptr);
    EXPECT_EQ(client().interfaceGiven->Descriptor.bInterfaceNumber, 0);
    EXPECT_EQ(client().interfaceGiven->Descriptor.bAlternateSetting, 0);
    EXPECT_EQ(client().settings.dwInterfaceClass, 255u);
    EXPECT_EQ(client().settings.dwInterfaceSubClass, USB_NO_INFO);
    EXPECT_EQ(client().settings.dwVendorId, USB_NO_INFO);
    unplugAndWait(result.id);
}

TEST_F(AttachTest, MissingLibraryIsSkippedForTheNextCandidate) {
    ASSERT_TRUE(host::registry::loadText(R"(REGEDIT4
[HKEY_LOCAL_MACHINE\Drivers\USB\LoadClients\4660_22136\Default\Default\Missing]
"DLL"="NOSUCH.DLL"
[HKEY_LOCAL_MACHINE\Drivers\USB\LoadClients\Default\Default\Default\Fallback]
"DLL"="USBTESTCLIENT.DLL"
)"));
    const host::usb::PlugResult result = host::usb::plug(device);
    ASSERT_TRUE(result.attached);
    EXPECT_EQ(result.driverId, "Fallback");
    unplugAndWait(result.id);
}

TEST_F(AttachTest, StackOptionDecidesWhetherSuspendIsOffered) {
    struct Case {
        host::usb::SuspendOffer offer;
        DWORD count;
        bool entries;
    };
    for (const Case& c :
         {Case{host::usb::SuspendOffer::Offered, sizeof(USB_FUNCS), true},
          Case{host::usb::SuspendOffer::NullEntries, sizeof(USB_FUNCS), false},
          Case{host::usb::SuspendOffer::ShortTable, offsetof(USB_FUNCS, lpSuspendDevice), false}}) {
        device = std::make_shared<TestDevice>();
        const host::usb::DeviceId id = plugAttached({c.offer});
        EXPECT_EQ(client().funcs->dwCount, c.count);
        EXPECT_EQ(client().funcs->lpSuspendDevice != nullptr, c.entries);
        EXPECT_EQ(client().funcs->lpResumeDevice != nullptr, c.entries);
        EXPECT_NE(client().funcs->lpDisableDevice, nullptr);
        unplugAndWait(id);
    }
}

TEST_F(AttachTest, UnusableDescriptorsAreNotPlugged) {
    host::usb::Descriptors none = TestDevice::standardDescriptors();
    none.configurations.clear();
    EXPECT_EQ(host::usb::plug(std::make_shared<TestDevice>(none)).id, 0u);

    host::usb::Descriptors endpointZero = TestDevice::standardDescriptors();
    endpointZero.configurations[0].interfaces[0].endpoints[0].descriptor.bEndpointAddress = 0x80;
    EXPECT_EQ(host::usb::plug(std::make_shared<TestDevice>(endpointZero)).id, 0u);

    host::usb::Descriptors tooMany = TestDevice::standardDescriptors();
    tooMany.configurations[0].interfaces[0].endpoints.resize(31, host::usb::bulkIn(5));
    EXPECT_EQ(host::usb::plug(std::make_shared<TestDevice>(tooMany)).id, 0u);
    EXPECT_EQ(host::usb::plug(nullptr).id, 0u);
    EXPECT_EQ(host::usb::liveObjects().devices, 0u);
}

}  // namespace

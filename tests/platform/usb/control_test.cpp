// The default pipe and the device: descriptors, the device information tree, vendor requests,
// standard requests, the default pipe's halt, power, and the entries this stack does not serve.
#include <array>
#include <cstring>

#include "usb_fixture.h"

namespace {

using host::usb::RequestPtr;

class ControlTest : public UsbTest {
  protected:
    void SetUp() override {
        UsbTest::SetUp();
        plugAttached();
        funcs = client().funcs;
        hDevice = client().device;
    }

    struct Result {
        DWORD bytes = 0;
        DWORD error = 0xDEAD;
    };
    // Runs a synchronous transfer to its end and closes it.
    Result finish(USB_TRANSFER transfer) {
        Result r;
        EXPECT_NE(transfer, nullptr);
        if (transfer == nullptr) return r;
        EXPECT_TRUE(funcs->lpIsTransferComplete(transfer));
        EXPECT_TRUE(funcs->lpGetTransferStatus(transfer, &r.bytes, &r.error));
        EXPECT_TRUE(funcs->lpCloseTransfer(transfer));
        return r;
    }

    LPCUSB_FUNCS funcs = nullptr;
    USB_HANDLE hDevice = nullptr;
};

TEST_F(ControlTest, DeviceInformationIsTheModelsDescriptorsWithTheCountsFilledIn) {
    LPCUSB_DEVICE info = funcs->lpGetDeviceInfo(hDevice);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->dwCount, sizeof(USB_DEVICE));
    EXPECT_EQ(info->Descriptor.bLength, 18);
    EXPECT_EQ(info->Descriptor.bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(info->Descriptor.idVendor, kTestVendor);
    EXPECT_EQ(info->Descriptor.bcdDevice, 0x0100);
    EXPECT_EQ(info->Descriptor.bNumConfigurations, 1);
    ASSERT_EQ(info->lpActiveConfig, info->lpConfigs);
    const USB_CONFIGURATION& config = *info->lpActiveConfig;
    EXPECT_EQ(config.Descriptor.bNumInterfaces, 1);  // one interface, two settings
    EXPECT_EQ(config.Descriptor.wTotalLength, 9 + 2 * (9 + 3 * 7));
    ASSERT_EQ(config.dwNumInterfaces, 2u);
    const USB_INTERFACE& alternate = config.lpInterfaces[1];
    EXPECT_EQ(alternate.Descriptor.bAlternateSetting, 1);
    EXPECT_EQ(alternate.Descriptor.bNumEndpoints, 3);
    EXPECT_EQ(alternate.lpEndpoints[0].Descriptor.wMaxPacketSize, 512);
    EXPECT_EQ(alternate.lpEndpoints[2].Descriptor.bEndpointAddress, 0x83);
    EXPECT_EQ(alternate.lpEndpoints[2].Descriptor.bLength, 7);

    EXPECT_EQ(funcs->lpFindInterface(info, 0, 1), &alternate);
    EXPECT_EQ(funcs->lpFindInterface(info, 0, 2), nullptr);
    EXPECT_EQ(funcs->lpFindInterface(info, 1, 0), nullptr);
}

TEST_F(ControlTest, GetDescriptorReadsWhatTheDeviceSends) {
    std::array<BYTE, 128> buffer{};
    Result r = finish(funcs->lpGetDescriptor(hDevice, nullptr, nullptr, USB_SHORT_TRANSFER_OK,
                                             USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, buffer.data()));
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_NO_ERROR));
    ASSERT_EQ(r.bytes, 18u);
    USB_DEVICE_DESCRIPTOR d;
    std::memcpy(&d, buffer.data(), sizeof d);
    EXPECT_EQ(d.idProduct, kTestProduct);

    // The whole configuration into a larger buffer: short, and fine with USB_SHORT_TRANSFER_OK.
    r = finish(funcs->lpGetDescriptor(hDevice, nullptr, nullptr, USB_SHORT_TRANSFER_OK,
                                      USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 128, buffer.data()));
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_NO_ERROR));
    EXPECT_EQ(r.bytes, 9u + 2 * (9 + 3 * 7));
    EXPECT_EQ(buffer[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(buffer[9 + 1], USB_INTERFACE_DESCRIPTOR_TYPE);
    EXPECT_EQ(buffer[18 + 2], 0x81);  // first endpoint's address

    // Its first four bytes only: the device sends no more than asked.
    r = finish(funcs->lpGetDescriptor(hDevice, nullptr, nullptr, 0,
                                      USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 4, buffer.data()));
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_NO_ERROR));
    EXPECT_EQ(r.bytes, 4u);

    r = finish(funcs->lpGetDescriptor(hDevice, nullptr, nullptr, USB_SHORT_TRANSFER_OK,
                                      USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 64, buffer.data()));
    EXPECT_EQ(r.bytes, 2u + 2 * 11);
    WCHAR text[32];
    EXPECT_EQ(funcs->lpTranslateStringDescr(
                  reinterpret_cast<LPCUSB_STRING_DESCRIPTOR>(buffer.data()), text, 32),
              11u);
    EXPECT_EQ(std::u16string(text), u"Test device");
    EXPECT_EQ(funcs->lpTranslateStringDescr(
                  reinterpret_cast<LPCUSB_STRING_DESCRIPTOR>(buffer.data()), text, 5),
              4u);
    EXPECT_EQ(std::u16string(text), u"Test");

    // No such descriptor: the device stalls, which halts the default pipe.
    r = finish(funcs->lpGetDescriptor(hDevice, nullptr, nullptr, USB_SHORT_TRANSFER_OK,
                                      USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 64, buffer.data()));
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_STALL_ERROR));
}

TEST_F(ControlTest, VendorRequestsCarryTheSetupPacketAndTheData) {
    std::array<BYTE, 8> data{};
    const USB_DEVICE_REQUEST readRequest{0xC0, 0x04, 0x1234, 0x0002, 8};
    std::thread model([&] {
        const RequestPtr r = device->nextRequest();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->type(), host::usb::TransferType::Control);
        EXPECT_EQ(r->endpoint(), 0);
        EXPECT_TRUE(r->isIn());
        EXPECT_EQ(r->setup().bmRequestType, 0xC0);
        EXPECT_EQ(r->setup().wValue, 0x1234);
        EXPECT_EQ(r->setup().wIndex, 2);
        const std::array<BYTE, 8> answer{9, 8, 7, 6, 5, 4, 3, 2};
        r->reply(answer);

        const RequestPtr w = device->nextRequest();
        ASSERT_NE(w, nullptr);
        EXPECT_FALSE(w->isIn());
        ASSERT_EQ(w->outData().size(), 3u);
        EXPECT_EQ(w->outData()[0], 0x55);
        w->accept(3);
    });
    Result r = finish(funcs->lpIssueVendorTransfer(hDevice, nullptr, nullptr, USB_IN_TRANSFER,
                                                   &readRequest, data.data(), 0));
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_NO_ERROR));
    EXPECT_EQ(r.bytes, 8u);
    EXPECT_EQ(data[0], 9);

    std::array<BYTE, 3> payload{0x55, 0x66, 0x77};
    const USB_DEVICE_REQUEST writeRequest{0x40, 0x04, 0, 0, 3};
    r = finish(funcs->lpIssueVendorTransfer(hDevice, nullptr, nullptr, USB_OUT_TRANSFER,
                                            &writeRequest, payload.data(), 0));
    model.join();
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_NO_ERROR));
    EXPECT_EQ(r.bytes, 3u);
    SetLastError(0);
    EXPECT_EQ(funcs->lpIssueVendorTransfer(hDevice, nullptr, nullptr, 0, nullptr, nullptr, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ControlTest, StalledRequestHaltsTheDefaultPipeUntilItIsReset) {
    const USB_DEVICE_REQUEST request{0x40, 0x01, 0, 0, 0};
    std::thread model([&] { device->nextRequest()->fail(USB_STALL_ERROR); });
    Result r =
        finish(funcs->lpIssueVendorTransfer(hDevice, nullptr, nullptr, 0, &request, nullptr, 0));
    model.join();
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_STALL_ERROR));
    BOOL halted = FALSE;
    ASSERT_TRUE(funcs->lpIsDefaultPipeHalted(hDevice, &halted));
    EXPECT_TRUE(halted);

    std::array<BYTE, 18> buffer{};
    r = finish(funcs->lpGetDescriptor(hDevice, nullptr, nullptr, 0, USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                      0, 18, buffer.data()));
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_STALL_ERROR));

    EXPECT_TRUE(funcs->lpResetDefaultPipe(hDevice));
    ASSERT_TRUE(funcs->lpIsDefaultPipeHalted(hDevice, &halted));
    EXPECT_FALSE(halted);
    r = finish(funcs->lpGetDescriptor(hDevice, nullptr, nullptr, 0, USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                      0, 18, buffer.data()));
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_NO_ERROR));
    EXPECT_FALSE(funcs->lpIsDefaultPipeHalted(hDevice, nullptr));
}

TEST_F(ControlTest, StandardRequestsReachTheDeviceAsSetupPackets) {
    Result r = finish(funcs->lpSetInterface(hDevice, nullptr, nullptr, 0, 0, 1));
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_NO_ERROR));
    UCHAR setting = 0xFF;
    r = finish(funcs->lpGetInterface(hDevice, nullptr, nullptr, 0, 0, &setting));
    EXPECT_EQ(r.bytes, 1u);
    EXPECT_EQ(setting, 1);
    r = finish(funcs->lpSetInterface(hDevice, nullptr, nullptr, 0, 0, 7));
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_STALL_ERROR));
    EXPECT_TRUE(funcs->lpResetDefaultPipe(hDevice));

    r = finish(funcs->lpClearFeature(hDevice, nullptr, nullptr, USB_SEND_TO_ENDPOINT,
                                     USB_FEATURE_ENDPOINT_STALL, 0x81));
    EXPECT_EQ(r.error, static_cast<DWORD>(USB_NO_ERROR));
    WORD deviceStatus = 0xFFFF;
    r = finish(funcs->lpGetStatus(hDevice, nullptr, nullptr, USB_SEND_TO_DEVICE, 0, &deviceStatus));
    EXPECT_EQ(r.bytes, 2u);
    EXPECT_EQ(deviceStatus, 0);

    const auto seen = device->standardRequests();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].bmRequestType, USB_REQUEST_FOR_INTERFACE);
    EXPECT_EQ(seen[0].bRequest, USB_REQUEST_SET_INTERFACE);
    EXPECT_EQ(seen[0].wValue, 1);
    EXPECT_EQ(seen[1].bRequest, USB_REQUEST_GET_INTERFACE);
    EXPECT_EQ(seen[3].bmRequestType, USB_REQUEST_FOR_ENDPOINT);
    EXPECT_EQ(seen[3].bRequest, USB_REQUEST_CLEAR_FEATURE);
    EXPECT_EQ(seen[3].wIndex, 0x81);
    EXPECT_EQ(seen[4].bmRequestType, USB_REQUEST_DEVICE_TO_HOST);
}

TEST_F(ControlTest, SelectedAlternateSettingDecidesWhichEndpointAPipeUses) {
    ASSERT_EQ(finish(funcs->lpSetInterface(hDevice, nullptr, nullptr, 0, 0, 1)).error,
              static_cast<DWORD>(USB_NO_ERROR));
    ASSERT_TRUE(funcs->lpClosePipe(client().bulkIn));
    client().bulkIn = nullptr;
    USB_ENDPOINT_DESCRIPTOR endpoint{};
    endpoint.bEndpointAddress = 0x81;
    ASSERT_NE(funcs->lpOpenPipe(hDevice, &endpoint), nullptr);
    // The stack keeps the device's descriptor of the endpoint, whatever copy the client passed.
    EXPECT_EQ(host::usb::liveObjects().pipes, 2u);
}

TEST_F(ControlTest, PowerEntriesReachTheDeviceAndReportItsAnswer) {
    EXPECT_TRUE(funcs->lpSuspendDevice(hDevice, 0));
    EXPECT_TRUE(funcs->lpResumeDevice(hDevice, 0));
    device->powerResult = false;
    SetLastError(0);
    EXPECT_FALSE(funcs->lpSuspendDevice(hDevice, 3));
    EXPECT_NE(GetLastError(), 0u);
    device->powerResult = true;

    // A reset device forgets the halt of its pipes.
    std::array<BYTE, 4> buffer{};
    USB_TRANSFER t = funcs->lpIssueBulkTransfer(client().bulkIn, nullptr, nullptr,
                                                USB_IN_TRANSFER | USB_NO_WAIT, 4, buffer.data(), 0);
    device->nextRequest()->fail(USB_STALL_ERROR);
    BOOL halted = FALSE;
    ASSERT_TRUE(funcs->lpIsPipeHalted(client().bulkIn, &halted));
    EXPECT_TRUE(halted);
    EXPECT_TRUE(funcs->lpDisableDevice(hDevice, TRUE, 0));
    ASSERT_TRUE(funcs->lpIsPipeHalted(client().bulkIn, &halted));
    EXPECT_FALSE(halted);
    EXPECT_TRUE(funcs->lpCloseTransfer(t));

    const auto calls = device->powerCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], std::make_pair('s', BYTE{0}));
    EXPECT_EQ(calls[1], std::make_pair('r', BYTE{0}));
    EXPECT_EQ(calls[2], std::make_pair('s', BYTE{3}));
    EXPECT_EQ(calls[3], std::make_pair('d', BYTE{0}));
}

TEST_F(ControlTest, EntriesThisStackDoesNotServeFailCleanly) {
    DWORD major = 0;
    DWORD minor = 0;
    funcs->lpGetUSBDVersion(&major, &minor);
    EXPECT_EQ(major, 1u);
    EXPECT_EQ(minor, 3u);
    DWORD frame = 0;
    USHORT length = 0;
    BYTE buffer[4];
    const DWORD lengths[1] = {4};
    SetLastError(0);
    EXPECT_FALSE(funcs->lpGetFrameNumber(hDevice, &frame));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(funcs->lpGetFrameLength(hDevice, &length));
    EXPECT_FALSE(funcs->lpTakeFrameLengthControl(hDevice));
    EXPECT_FALSE(funcs->lpLoadGenericInterfaceDriver(hDevice, nullptr));
    EXPECT_EQ(
        funcs->lpIssueIsochTransfer(client().bulkIn, nullptr, nullptr, 0, 0, 1, lengths, buffer, 0),
        nullptr);
    EXPECT_EQ(funcs->lpSyncFrame(hDevice, nullptr, nullptr, 0, 0x81, 0), nullptr);
    EXPECT_FALSE(funcs->lpUnRegisterNotificationRoutine(hDevice, nullptr, nullptr));

    // Handles that name nothing.
    SetLastError(0);
    EXPECT_EQ(funcs->lpGetDeviceInfo(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(funcs->lpCloseTransfer(reinterpret_cast<USB_TRANSFER>(client().bulkIn)));
    EXPECT_FALSE(funcs->lpResetPipe(reinterpret_cast<USB_PIPE>(hDevice)));
}

}  // namespace

// DRX_IOControl over the recording fake: every code of both families, its buffer checks and
// byte counts, and the default-pipe recovery after a failed request.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "driver_fixture.h"
#include "recovery.h"

namespace {

using namespace dermo_test;

constexpr DWORD kUnwritten = 0xDDDDDDDD;

class IoControlTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        open = AttachAndOpen();
        ASSERT_NE(open, nullptr);
    }

    // The call's outcome: 0 on success (with the byte count in `returned`), else the error.
    DWORD Call(DWORD code, const void* in, DWORD inLength, void* out = nullptr,
               DWORD outLength = 0) {
        returned = kUnwritten;
        SetLastError(1234);
        const BOOL ok = Control(open, code, in, inLength, out, outLength, &returned);
        const DWORD error = GetLastError();
        EXPECT_EQ(ok != FALSE, error == 0) << "result and last error disagree";
        if (!ok) {
            EXPECT_EQ(returned, kUnwritten) << "a failure wrote the byte count";
        }
        return error;
    }

    DWORD Vendor(DWORD code, DWORD value, DWORD length, void* buffer, DWORD index,
                 DWORD outLength = 0) {
        const SENSOR_VENDOR_REQUEST record{value, length, buffer, index};
        std::array<BYTE, 64> out{};
        return Call(code, &record, sizeof record, outLength > 0 ? out.data() : nullptr, outLength);
    }

    DWORD Descriptor(BYTE type, BYTE index, WORD language, void* out, DWORD outLength) {
        const SENSOR_DESCRIPTOR_REQUEST request{type, index, language};
        return Call(IOCTL_SENSOR_GET_DESCRIPTOR, &request, sizeof request, out, outLength);
    }

    DWORD Property(DWORD code, DWORD property, DWORD value = 0, DWORD* out = nullptr) {
        const SENSOR_PROPERTY_REQUEST request{property, 0, value};
        return Call(code, &request, sizeof request, out, out != nullptr ? 4 : 0);
    }

    OpenContext* open = nullptr;
    DWORD returned = kUnwritten;
    std::vector<BYTE> data = std::vector<BYTE>(256);
};

TEST_F(IoControlTest, VendorReadsUseTheSingleRequestForLengthsUpToOne) {
    fakeUsb.vendorReply = {1, 2, 3, 4, 5, 6, 7, 8};
    for (const DWORD length : {0u, 1u, 2u, 64u}) {
        ASSERT_EQ(Vendor(IOCTL_SENSOR_VENDOR_READ, 0x12345678, length, data.data(), 0xABCD0042), 0u)
            << length;
        const USB_DEVICE_REQUEST& setup = fakeUsb.vendorRequests.back();
        EXPECT_EQ(setup.bmRequestType, 0xC0);
        EXPECT_EQ(setup.bRequest, length > 1 ? 0x04 : 0x0C) << length;
        EXPECT_EQ(setup.wValue, 0x5678);
        EXPECT_EQ(setup.wIndex, 0x0042);
        EXPECT_EQ(setup.wLength, length);
        EXPECT_EQ(fakeUsb.vendorFlags.back(), DWORD{USB_IN_TRANSFER});
        EXPECT_EQ(returned, std::min<DWORD>(length, 8)) << length;
    }
    EXPECT_EQ(data[7], 8);
    EXPECT_EQ(data[8], 0);
}

TEST_F(IoControlTest, AVendorReadsLengthMustCoverTheOutputLength) {
    EXPECT_EQ(Vendor(IOCTL_SENSOR_VENDOR_READ, 0, 4, data.data(), 0, 8),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_TRUE(fakeUsb.vendorRequests.empty());
    // An output length of 0 passes for any record length.
    EXPECT_EQ(Vendor(IOCTL_SENSOR_VENDOR_READ, 0, 0, data.data(), 0, 0), 0u);
    EXPECT_EQ(Vendor(IOCTL_SENSOR_VENDOR_READ, 0, 8, data.data(), 0, 8), 0u);
}

TEST_F(IoControlTest, AVendorWriteSendsFromTheRecordAndReportsNoBytes) {
    ASSERT_EQ(Vendor(IOCTL_SENSOR_VENDOR_WRITE, 7, 3, data.data(), 0x10), 0u);
    EXPECT_EQ(returned, 0u);
    const USB_DEVICE_REQUEST& setup = fakeUsb.vendorRequests.back();
    EXPECT_EQ(setup.bmRequestType, 0x40);
    EXPECT_EQ(setup.bRequest, 0x04);
    EXPECT_EQ(setup.wLength, 3);
    EXPECT_EQ(fakeUsb.vendorFlags.back(), 0u);
}

TEST_F(IoControlTest, AFailedVendorRequestRecoversTheDefaultPipe) {
    fakeUsb.vendorStatus = USB_STALL_ERROR;
    EXPECT_EQ(Vendor(IOCTL_SENSOR_VENDOR_WRITE, 0, 1, data.data(), 0), DWORD{ERROR_GEN_FAILURE});
    EXPECT_EQ(fakeUsb.defaultPipeResets, 1);
    EXPECT_FALSE(fakeUsb.defaultPipeHalted);
    fakeUsb.vendorStatus = USB_NO_ERROR;
    fakeUsb.refuseVendor = true;
    EXPECT_EQ(Vendor(IOCTL_SENSOR_VENDOR_READ, 0, 1, data.data(), 0), DWORD{ERROR_GEN_FAILURE});
    EXPECT_EQ(fakeUsb.disableCalls, 0);  // never a reset of the sensor from here
}

TEST_F(IoControlTest, MissingBuffersAreRefusedBeforeAnythingIsSent) {
    EXPECT_EQ(Call(IOCTL_SENSOR_VENDOR_READ, nullptr, sizeof(SENSOR_VENDOR_REQUEST)),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Vendor(IOCTL_SENSOR_VENDOR_WRITE, 0, 4, nullptr, 0), DWORD{ERROR_INVALID_PARAMETER});
    // A length of 0x10000 asks for 0xFFFF bytes: it needs a buffer.
    EXPECT_EQ(Vendor(IOCTL_SENSOR_VENDOR_READ, 0, 0x10000, nullptr, 0),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(fakeUsb.vendorRequests.empty());

    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, 18),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Call(IOCTL_SENSOR_GET_DEVICE_IDS, nullptr, 0, nullptr, 8),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Call(IOCTL_SENSOR_SET_TIMEOUTS, nullptr, 12), DWORD{ERROR_INVALID_PARAMETER});
    // A length too short gets the length's error, buffer or not.
    EXPECT_EQ(Call(IOCTL_SENSOR_GET_DEVICE_IDS, nullptr, 0, nullptr, 7),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_TRUE(fakeUsb.descriptorCalls.empty());
}

TEST_F(IoControlTest, TheDeviceDescriptorNeedsEighteenBytesOfOutput) {
    fakeUsb.descriptorReply.assign(18, 0x12);
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0x0409, data.data(), 17),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_TRUE(fakeUsb.descriptorCalls.empty());
    ASSERT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0x0409, data.data(), 18), 0u);
    EXPECT_EQ(returned, 18u);
    const auto& call = fakeUsb.descriptorCalls.back();
    EXPECT_EQ(call.flags, DWORD{USB_SHORT_TRANSFER_OK});
    EXPECT_EQ(call.type, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(call.language, 0);  // only strings carry a language
    EXPECT_EQ(call.length, 18);
}

TEST_F(IoControlTest, DescriptorTypesTheirMinimumsAndShortReplies) {
    fakeUsb.descriptorReply.assign(32, 0x02);
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, data.data(), 8),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    ASSERT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, data.data(), 255), 0u);
    EXPECT_EQ(returned, 32u);  // short, and still a success
}

TEST_F(IoControlTest, AStringDescriptorCarriesItsLanguage) {
    fakeUsb.descriptorReply = {4, 3, 'A', 0};
    ASSERT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, data.data(), 4), 0u);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(fakeUsb.descriptorCalls.back().language, 0x0409);
    EXPECT_EQ(fakeUsb.descriptorCalls.back().index, 2);
    EXPECT_EQ(Descriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, data.data(), 3),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
}

// A control transfer carries at most 0xFFFF bytes: a longer read asks for that much, and a
// longer write is refused rather than cut.
TEST_F(IoControlTest, LengthsBeyondAControlTransferAreNeverCut) {
    std::vector<BYTE> large(65554);
    fakeUsb.descriptorReply.assign(39, 0x02);
    for (const DWORD length : {65536u, 65554u}) {
        ASSERT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, large.data(), length), 0u)
            << length;
        EXPECT_EQ(returned, 39u);
        EXPECT_EQ(fakeUsb.descriptorCalls.back().length, 0xFFFF);
    }
    fakeUsb.vendorReply = {1, 2, 3};
    ASSERT_EQ(Vendor(IOCTL_SENSOR_VENDOR_READ, 0, 0x10000, large.data(), 0), 0u);
    EXPECT_EQ(fakeUsb.vendorRequests.back().wLength, 0xFFFF);
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(Vendor(IOCTL_SENSOR_VENDOR_WRITE, 0, 0x10000, large.data(), 0),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(fakeUsb.vendorRequests.size(), 1u);
}

TEST_F(IoControlTest, DescriptorRequestsThatAreNotReadable) {
    EXPECT_EQ(Descriptor(USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, data.data(), 64),
              DWORD{ERROR_INVALID_PARAMETER});
    const BYTE shortInput[3] = {1, 0, 0};
    EXPECT_EQ(Call(IOCTL_SENSOR_GET_DESCRIPTOR, shortInput, 3, data.data(), 64),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(fakeUsb.descriptorCalls.empty());
}

TEST_F(IoControlTest, ADescriptorLongerThanTheOutputIsAnInsufficientBuffer) {
    fakeUsb.descriptorReply.assign(40, 0x02);
    fakeUsb.defaultPipeHalted = true;  // left alone: an overrun is not a bus failure
    EXPECT_EQ(Descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, data.data(), 9),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(fakeUsb.defaultPipeResets, 0);
}

TEST_F(IoControlTest, AFailedDescriptorReadRecoversTheDefaultPipe) {
    fakeUsb.descriptorStatus = USB_STALL_ERROR;
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, data.data(), 18),
              DWORD{ERROR_GEN_FAILURE});
    EXPECT_EQ(fakeUsb.defaultPipeResets, 1);

    fakeUsb.descriptorStatus = USB_NO_ERROR;
    fakeUsb.refuseDescriptor = true;
    fakeUsb.defaultPipeHalted = true;
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, data.data(), 18),
              DWORD{ERROR_DEVICE_NOT_CONNECTED});
    EXPECT_EQ(fakeUsb.defaultPipeResets, 2);

    fakeUsb.refuseDescriptor = false;
    fakeUsb.failTransferStatus = true;
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, data.data(), 18),
              DWORD{ERROR_INVALID_HANDLE});
}

// The driver's copy of the stack's table holds null for every entry the stack did not supply.
TEST_F(IoControlTest, TransferEntriesTheStackLeftOutAreNeverCalled) {
    USB_FUNCS& usb = Context()->usbFuncs;
    usb.lpGetTransferStatus = nullptr;
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, data.data(), 18),
              DWORD{ERROR_NOT_SUPPORTED});
    EXPECT_TRUE(fakeUsb.descriptorCalls.empty());
    EXPECT_EQ(ClearEndpointHalt(&usb, kDevice, nullptr, nullptr, USB_SEND_TO_ENDPOINT, 0, 0),
              DWORD{ERROR_NOT_SUPPORTED});
    EXPECT_TRUE(fakeUsb.clearFeatureCalls.empty());
    // Without a halt query the default pipe is not recovered; the request keeps its error.
    usb.lpGetTransferStatus = fakeUsb.funcs.lpGetTransferStatus;
    usb.lpIsDefaultPipeHalted = nullptr;
    fakeUsb.vendorStatus = USB_STALL_ERROR;
    EXPECT_EQ(Vendor(IOCTL_SENSOR_VENDOR_READ, 0, 1, data.data(), 0), DWORD{ERROR_GEN_FAILURE});
    fakeUsb.descriptorStatus = USB_STALL_ERROR;
    EXPECT_EQ(Descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, data.data(), 18),
              DWORD{ERROR_GEN_FAILURE});
    EXPECT_EQ(fakeUsb.defaultPipeResets, 0);
}

TEST_F(IoControlTest, ZeroTimeOutsLeaveTheHandlesTimeOutsAsTheyWere) {
    const DWORD onlyWrite[] = {0, 2000, 0};
    ASSERT_EQ(Call(IOCTL_SENSOR_SET_TIMEOUTS, onlyWrite, sizeof onlyWrite), 0u);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(open->readTimeout, INFINITE);
    EXPECT_EQ(open->writeTimeout, 2000u);
    EXPECT_EQ(open->controlTimeout, INFINITE);
    const DWORD all[] = {10, 20, 30};
    EXPECT_EQ(Call(IOCTL_SENSOR_SET_TIMEOUTS, all, 8), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(open->readTimeout, INFINITE);
    ASSERT_EQ(Call(IOCTL_SENSOR_SET_TIMEOUTS, all, 12), 0u);
    EXPECT_EQ(open->controlTimeout, 30u);
}

TEST_F(IoControlTest, FixedInfoFillsTwelveOrSixteenBytes) {
    std::array<DWORD, 5> words;
    words.fill(kUnwritten);
    ASSERT_EQ(Call(IOCTL_SENSOR_EXT_GET_FIXED_INFO, nullptr, 0, words.data(), 12), 0u);
    EXPECT_EQ(returned, 12u);
    EXPECT_EQ(words, (std::array<DWORD, 5>{1, 1, 3, kUnwritten, kUnwritten}));
    for (const DWORD length : {16u, 20u}) {
        ASSERT_EQ(Call(IOCTL_SENSOR_EXT_GET_FIXED_INFO, nullptr, 0, words.data(), length), 0u);
        EXPECT_EQ(returned, 16u) << length;
        EXPECT_EQ(words, (std::array<DWORD, 5>{1, 1, 3, 0, kUnwritten}));
    }
    EXPECT_EQ(Call(IOCTL_SENSOR_EXT_GET_FIXED_INFO, nullptr, 0, words.data(), 11),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
}

TEST_F(IoControlTest, TheTimeOutPerRequestPropertyBelongsToOneHandle) {
    OpenContext* first = open;
    OpenContext* second = OpenDirect();
    DWORD value = kUnwritten;
    ASSERT_EQ(
        Property(IOCTL_SENSOR_EXT_GET_PROPERTY, SENSOR_PROPERTY_TIMEOUT_PER_REQUEST, 0, &value),
        0u);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(returned, 4u);
    ASSERT_EQ(Property(IOCTL_SENSOR_EXT_SET_PROPERTY, SENSOR_PROPERTY_TIMEOUT_PER_REQUEST, 5), 0u);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(first->timeoutPerRequest, TRUE);
    EXPECT_EQ(second->timeoutPerRequest, FALSE);
    EXPECT_EQ(Context()->timeoutPerRequest, FALSE);
    ASSERT_EQ(
        Property(IOCTL_SENSOR_EXT_GET_PROPERTY, SENSOR_PROPERTY_TIMEOUT_PER_REQUEST, 0, &value),
        0u);
    EXPECT_EQ(value, 1u);
}

TEST_F(IoControlTest, FixedAndUnknownProperties) {
    DWORD value = kUnwritten;
    for (const DWORD fixed : {12u, 13u, 14u, 15u}) {
        EXPECT_EQ(Property(IOCTL_SENSOR_EXT_GET_PROPERTY, fixed, 0, &value), 0u) << fixed;
        EXPECT_EQ(value, 0u);
        EXPECT_EQ(Property(IOCTL_SENSOR_EXT_SET_PROPERTY, fixed, 1), SENSOR_E_READ_ONLY_PROPERTY)
            << fixed;
    }
    for (const DWORD unknown : {11u, 16u, 0x401u}) {
        EXPECT_EQ(Property(IOCTL_SENSOR_EXT_GET_PROPERTY, unknown, 0, &value),
                  SENSOR_E_UNKNOWN_PROPERTY)
            << unknown;
        EXPECT_EQ(Property(IOCTL_SENSOR_EXT_SET_PROPERTY, unknown, 1), SENSOR_E_UNKNOWN_PROPERTY)
            << unknown;
    }
    const DWORD query[] = {SENSOR_PROPERTY_TIMEOUT_PER_REQUEST, 0};
    EXPECT_EQ(Call(IOCTL_SENSOR_EXT_GET_PROPERTY, query, 4, &value, 4),
              DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Call(IOCTL_SENSOR_EXT_GET_PROPERTY, query, 8, &value, 3),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(Call(IOCTL_SENSOR_EXT_SET_PROPERTY, query, 8), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(IoControlTest, BothPipeResetsWithOnePipeFailing) {
    fakeUsb.haltedPipes = {FakeUsb::bulkInPipe(), FakeUsb::bulkOutPipe()};
    fakeUsb.resetFailures = {{FakeUsb::bulkInPipe(), ERROR_NOT_READY}};
    const DWORD both = PIPE_SELECT_BOTH;
    EXPECT_EQ(Call(IOCTL_SENSOR_RESET_PIPES, &both, 4), DWORD{ERROR_NOT_READY});
    EXPECT_EQ(fakeUsb.resetPipes,
              (std::vector<USB_PIPE>{FakeUsb::bulkInPipe(), FakeUsb::bulkOutPipe()}));
    EXPECT_TRUE(fakeUsb.abortedPipes.empty());

    // Both failing: the OUT pipe's error.
    fakeUsb.haltedPipes = {FakeUsb::bulkInPipe(), FakeUsb::bulkOutPipe()};
    fakeUsb.resetFailures[FakeUsb::bulkOutPipe()] = ERROR_BUSY;
    fakeUsb.resetPipes.clear();
    EXPECT_EQ(Call(IOCTL_SENSOR_ABORT_AND_RESET_PIPES, &both, 4), DWORD{ERROR_BUSY});
    EXPECT_EQ(fakeUsb.abortedPipes,
              (std::vector<USB_PIPE>{FakeUsb::bulkInPipe(), FakeUsb::bulkOutPipe()}));
}

TEST_F(IoControlTest, PipeResetsTouchOnlyTheSelectedHaltedPipes) {
    const DWORD out = PIPE_SELECT_OUT;
    ASSERT_EQ(Call(IOCTL_SENSOR_ABORT_AND_RESET_PIPES, &out, 4), 0u);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(fakeUsb.abortedPipes, (std::vector<USB_PIPE>{FakeUsb::bulkOutPipe()}));
    EXPECT_TRUE(fakeUsb.resetPipes.empty());  // not halted
    fakeUsb.haltedPipes = {FakeUsb::bulkInPipe()};
    const DWORD in = PIPE_SELECT_IN;
    ASSERT_EQ(Call(IOCTL_SENSOR_RESET_PIPES, &in, 4), 0u);
    EXPECT_EQ(fakeUsb.resetPipes, (std::vector<USB_PIPE>{FakeUsb::bulkInPipe()}));
    for (const DWORD bad : {0u, 4u}) {
        EXPECT_EQ(Call(IOCTL_SENSOR_RESET_PIPES, &bad, 4), DWORD{ERROR_INVALID_PARAMETER});
    }
    EXPECT_EQ(Call(IOCTL_SENSOR_RESET_PIPES, &in, 3), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(IoControlTest, PacketSizesAndDeviceIdentifiers) {
    SENSOR_PACKET_SIZES sizes{};
    ASSERT_EQ(Call(IOCTL_SENSOR_GET_MAX_PACKET_SIZES, nullptr, 0, &sizes, sizeof sizes), 0u);
    EXPECT_EQ(returned, 12u);
    EXPECT_EQ(sizes.interruptIn, 8u);
    EXPECT_EQ(sizes.bulkIn, 64u);
    EXPECT_EQ(sizes.bulkOut, 64u);
    EXPECT_EQ(Call(IOCTL_SENSOR_GET_MAX_PACKET_SIZES, nullptr, 0, &sizes, 11),
              DWORD{ERROR_INSUFFICIENT_BUFFER});

    SENSOR_DEVICE_IDS ids{1, 1, 1, 1};
    ASSERT_EQ(Call(IOCTL_SENSOR_GET_DEVICE_IDS, nullptr, 0, &ids, sizeof ids), 0u);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(ids.vendorId, 0x1A2B);
    EXPECT_EQ(ids.productId, 0x0101);
    EXPECT_EQ(ids.release, 0x0100);
    EXPECT_EQ(ids.reserved, 0);
}

TEST_F(IoControlTest, ReservedAndUnknownCodesAreNotSupported) {
    for (const DWORD code :
         {0x80002000u, 0x80002008u, 0x80002024u, 0x80002028u, 0x80002030u, 0x81C06074u, 0u})
        EXPECT_EQ(Call(code, data.data(), 64, data.data(), 64), DWORD{ERROR_NOT_SUPPORTED})
            << std::hex << code;
}

TEST_F(IoControlTest, TheNoOperationCodes) {
    EXPECT_EQ(Call(IOCTL_SENSOR_EXT_NOOP_CHECKED, data.data(), 7), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(Call(IOCTL_SENSOR_EXT_NOOP_CHECKED, data.data(), 8), 0u);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(Call(IOCTL_SENSOR_EXT_NOOP, nullptr, 100, nullptr, 100), 0u);
    EXPECT_EQ(returned, 0u);
}

TEST_F(IoControlTest, InvalidHandlesAndAnUnpluggedSensor) {
    SetLastError(0);
    EXPECT_FALSE(DRX_IOControl(0, IOCTL_SENSOR_EXT_NOOP, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    Context()->detached = TRUE;
    EXPECT_EQ(Call(IOCTL_SENSOR_EXT_NOOP, nullptr, 0), DWORD{ERROR_NOT_READY});
    Context()->detached = FALSE;
}

}  // namespace

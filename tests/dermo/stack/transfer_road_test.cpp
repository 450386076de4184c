// Reads, writes and control codes through the platform's USB stack to the simulated sensor: the
// loopback, a fingerprint capture, descriptors, the sensor's registers and its faults, and the
// sensor going away under a blocked read.
#include <sensor/fingerprint.h>
#include <sensor/sensor_registers.h>

#include <cstring>
#include <numeric>
#include <thread>
#include <vector>

#include "stack_fixture.h"

namespace {

using namespace dermo_stack_test;
namespace reg = sim::registers;

class TransferRoadTest : public StackTest {
  protected:
    sim::SensorProfile WithSetting(const char* name, std::uint32_t value) {
        sim::SensorProfile profile = Profile("default");
        profile.driverKeyValues.push_back({name, value});
        return profile;
    }
    // Waits (bounded) until the sensor has seen `count` bulk transfers in all.
    bool WaitForTransfers(unsigned count) {
        for (int i = 0; i < 5000 && sensor->bulkTransferCount() < count; ++i) Sleep(1);
        return sensor->bulkTransferCount() >= count;
    }

    // Starts a read of 100 bytes on a thread of its own that waits for loopback data that never
    // comes; its result (the bytes, or -1) and error are valid once the thread is joined.
    void StartBlockedRead() {
        reader = std::thread([this] {
            std::vector<BYTE> own(100);
            DWORD done = 0;
            result = ReadFile(drx, own.data(), 100, &done, nullptr) ? static_cast<long long>(done)
                                                                    : -1;
            readError = GetLastError();
        });
        ASSERT_TRUE(WaitForTransfers(1));
    }

    std::vector<BYTE> buffer = std::vector<BYTE>(65536);
    std::thread reader;
    long long result = 0;
    DWORD readError = 0;
};

TEST_F(TransferRoadTest, WhatIsWrittenIsReadBackInChunks) {
    PlugAndOpen(Profile("default"));
    std::vector<BYTE> sent(10000);
    std::iota(sent.begin(), sent.end(), BYTE{7});
    ASSERT_EQ(Write(sent.data(), 10000), 10000);
    ASSERT_EQ(Read(buffer.data(), 10000), 10000);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
    EXPECT_EQ(sensor->bulkTransferCount(), 6u);  // 4096, 4096 and 1808 each way
}

TEST_F(TransferRoadTest, ACaptureDeliversTheImageTheSensorReports) {
    PlugAndOpen(Profile("default"));
    BYTE size[4] = {};
    ASSERT_EQ(VendorRead(reg::kWidth, size, 4), 0u);
    const unsigned width = size[0] | size[1] << 8;
    const unsigned height = size[2] | size[3] << 8;
    EXPECT_EQ(returned, 4u);
    ASSERT_EQ(width * height, 160u * 192u);
    ASSERT_EQ(VendorWrite(reg::kControl, nullptr, 0, reg::kModeCapture), 0u);
    BYTE status = 0;
    ASSERT_EQ(VendorRead(reg::kStatus, &status, 1), 0u);
    EXPECT_EQ(status, reg::kStatusImageReady);

    ASSERT_EQ(Read(buffer.data(), width * height), width * height);
    const std::vector<BYTE> expected = sim::fingerprintImage(width, height, 1);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
    ASSERT_EQ(VendorRead(reg::kStatus, &status, 1), 0u);
    EXPECT_EQ(status, 0);  // idle again
}

TEST_F(TransferRoadTest, RegistersAreReadAndWrittenThroughVendorRequests) {
    PlugAndOpen(Profile("default"));
    const BYTE scratch[3] = {0x11, 0x22, 0x33};
    ASSERT_EQ(VendorWrite(reg::kScratch, scratch, 3), 0u);
    EXPECT_EQ(returned, 0u);
    ASSERT_EQ(VendorWrite(reg::kScratch + 3, nullptr, 0, 0x44), 0u);  // the value in wValue
    BYTE back[4] = {};
    ASSERT_EQ(VendorRead(reg::kScratch, back, 4), 0u);
    EXPECT_EQ(back[0], 0x11);
    EXPECT_EQ(back[3], 0x44);
    BYTE chip = 0;
    ASSERT_EQ(VendorRead(reg::kChipId, &chip, 1), 0u);
    EXPECT_EQ(chip, reg::kChipIdValue);

    // A write to a read-only register stalls; the driver recovers the default pipe, so the
    // next request goes through.
    EXPECT_EQ(VendorWrite(reg::kChipId, nullptr, 0, 1), DWORD{ERROR_GEN_FAILURE});
    EXPECT_EQ(VendorRead(reg::kChipId, &chip, 1), 0u);
}

TEST_F(TransferRoadTest, DescriptorsIdentifiersAndPacketSizes) {
    PlugAndOpen(Profile("default"));
    BYTE out[255] = {};
    const SENSOR_DESCRIPTOR_REQUEST device{USB_DEVICE_DESCRIPTOR_TYPE, 0, 0};
    ASSERT_EQ(Control(IOCTL_SENSOR_GET_DESCRIPTOR, &device, 4, out, 18), 0u);
    EXPECT_EQ(returned, 18u);
    USB_DEVICE_DESCRIPTOR descriptor;
    std::memcpy(&descriptor, out, sizeof descriptor);
    EXPECT_EQ(descriptor.idVendor, 0x1A2B);

    const SENSOR_DESCRIPTOR_REQUEST config{USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0};
    ASSERT_EQ(Control(IOCTL_SENSOR_GET_DESCRIPTOR, &config, 4, out, sizeof out), 0u);
    EXPECT_EQ(returned, 9u + 9u + 3 * 7u);  // short: the whole configuration

    const SENSOR_DESCRIPTOR_REQUEST manufacturer{USB_STRING_DESCRIPTOR_TYPE,
                                                 descriptor.iManufacturer, 0x0409};
    ASSERT_EQ(Control(IOCTL_SENSOR_GET_DESCRIPTOR, &manufacturer, 4, out, sizeof out), 0u);
    EXPECT_EQ(returned, 2 + 2 * sensor->profile().manufacturer.size());
    EXPECT_EQ(out[2], 'S');

    SENSOR_DEVICE_IDS ids{};
    ASSERT_EQ(Control(IOCTL_SENSOR_GET_DEVICE_IDS, nullptr, 0, &ids, sizeof ids), 0u);
    EXPECT_EQ(ids.productId, 0x0101);
    SENSOR_PACKET_SIZES sizes{};
    ASSERT_EQ(Control(IOCTL_SENSOR_GET_MAX_PACKET_SIZES, nullptr, 0, &sizes, sizeof sizes), 0u);
    EXPECT_EQ(sizes.bulkIn, 64u);
    EXPECT_EQ(sizes.interruptIn, 8u);
}

TEST_F(TransferRoadTest, AHaltedDefaultPipeIsRecoveredAfterTheFailedRequest) {
    PlugAndOpen(Profile("default"));
    sensor->setFault("halt-default", 1);
    BYTE out[18];
    const SENSOR_DESCRIPTOR_REQUEST device{USB_DEVICE_DESCRIPTOR_TYPE, 0, 0};
    EXPECT_EQ(Control(IOCTL_SENSOR_GET_DESCRIPTOR, &device, 4, out, 18), DWORD{ERROR_GEN_FAILURE});
    EXPECT_EQ(Control(IOCTL_SENSOR_GET_DESCRIPTOR, &device, 4, out, 18), 0u);
}

TEST_F(TransferRoadTest, AStallIsRecoveredAndRetried) {
    PlugAndOpen(WithSetting("BulkRetryNumber", 1));
    ASSERT_EQ(Write(buffer.data(), 100), 100);
    sensor->setFault("stall-in", 1);
    EXPECT_EQ(Read(buffer.data(), 100), 100);
    EXPECT_EQ(sensor->clearHaltCount(), 1u);
    EXPECT_EQ(sensor->resetCount(), 0u);
}

TEST_F(TransferRoadTest, APipeHaltedForGoodGetsTheSensorResetOnTheThirdFailure) {
    PlugAndOpen(Profile("default"));
    ASSERT_EQ(Write(buffer.data(), 100), 100);
    sensor->setFault("halt-in");
    for (unsigned call = 1; call <= 3; ++call) {
        EXPECT_EQ(Read(buffer.data(), 100), -1) << call;
        EXPECT_EQ(error, DWORD{ERROR_GEN_FAILURE}) << call;
        EXPECT_EQ(sensor->resetCount(), call == 3 ? 1u : 0u) << call;
    }
    EXPECT_EQ(Read(buffer.data(), 100), 100);  // the reset cleared the halt
}

TEST_F(TransferRoadTest, AFailedRecoveryResetsTheSensorAtOnce) {
    PlugAndOpen(Profile("default"));
    sensor->setFault("stall-out", 1);
    sensor->setFault("recovery-fails", 1);
    EXPECT_EQ(Write(buffer.data(), 100), -1);
    EXPECT_EQ(sensor->resetCount(), 1u);
    EXPECT_EQ(Write(buffer.data(), 100), 100);
}

TEST_F(TransferRoadTest, ZeroLengthAndShortCompletions) {
    PlugAndOpen(Profile("default"));
    ASSERT_EQ(VendorWrite(reg::kControl, nullptr, 0, reg::kModeStream), 0u);
    sensor->setFault("zero-length-in", 1);
    EXPECT_EQ(Read(buffer.data(), 1000), 0);  // no retries: the call ends with what moved
    sensor->setFault("short-in", 100);
    ASSERT_EQ(Read(buffer.data(), 1000), 1000);
    EXPECT_EQ(sensor->bulkTransferCount(), 3u);  // 0, then 100 and 900
    for (int i = 1; i < 1000; ++i) ASSERT_EQ(BYTE(buffer[i] - buffer[i - 1]), 1) << i;
}

TEST_F(TransferRoadTest, ATimedOutReadNeverWritesIntoTheBufferAfterItReturned) {
    PlugAndOpen(Profile("default"));
    ASSERT_EQ(SetTimeouts(30, 0, 0), 0u);
    sensor->setFault("timeout-in", 1);
    std::fill(buffer.begin(), buffer.end(), BYTE{0x5A});
    const DWORD start = GetTickCount();
    EXPECT_EQ(Read(buffer.data(), 100), -1);
    EXPECT_EQ(error, DWORD{ERROR_TIMEOUT});
    EXPECT_GE(GetTickCount() - start, 30u);
    // The sensor answers late: the stack no longer has the transfer.
    EXPECT_EQ(sensor->completeHeldTransfers(), 0u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](BYTE b) { return b == 0x5A; }));
}

TEST_F(TransferRoadTest, UnplugUnderABlockedReadFailsItAndLaterCallsAreNotReady) {
    PlugAndOpen(Profile("default"));
    StartBlockedRead();
    ASSERT_TRUE(host::usb::unplug(id));
    reader.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(readError, DWORD{ERROR_GEN_FAILURE});
    ASSERT_TRUE(WaitDetached(drx));
    EXPECT_EQ(Read(buffer.data(), 10), -1);
    EXPECT_EQ(error, DWORD{ERROR_NOT_READY});
    EXPECT_EQ(Control(IOCTL_SENSOR_EXT_NOOP, nullptr, 0), DWORD{ERROR_NOT_READY});
    EXPECT_FALSE(host::usb::waitUnplugged(id, 0));  // held for the open handle
    CloseHandle(drx);
    drx = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(host::usb::waitUnplugged(id, 10000));
    id = 0;
}

// A handle closed while its read waits is closed at the driver on the reading thread as the
// read returns: the read still reports its own failure, not what the last close's suspend of a
// sensor already gone left as last error.
TEST_F(TransferRoadTest, AReadWhoseHandleWasClosedMeanwhileReportsItsOwnFailure) {
    PlugAndOpen(Profile("default"));
    StartBlockedRead();
    CloseHandle(drx);
    drx = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(host::usb::unplug(id));
    reader.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(readError, DWORD{ERROR_GEN_FAILURE});
    EXPECT_TRUE(host::usb::waitUnplugged(id, 10000));
    id = 0;
}

TEST_F(TransferRoadTest, TheSensorUnpluggingInMidTransfer) {
    PlugAndOpen(Profile("default"));
    sensor->setFault("unplug-in-transfer");
    EXPECT_EQ(Write(buffer.data(), 100), -1);
    EXPECT_EQ(error, DWORD{ERROR_GEN_FAILURE});
    ASSERT_TRUE(WaitDetached(drx));
    EXPECT_EQ(Write(buffer.data(), 100), -1);
    EXPECT_EQ(error, DWORD{ERROR_NOT_READY});
}

TEST_F(TransferRoadTest, PacedReadsStreamTheWholePattern) {
    sim::SensorProfile profile = WithSetting("MaxBulkReadSize", 8192);
    profile.rate = sim::BulkRate::FullSpeed;
    PlugAndOpen(profile);
    ASSERT_EQ(VendorWrite(reg::kControl, nullptr, 0, reg::kModeStream), 0u);
    const DWORD start = GetTickCount();
    ASSERT_EQ(Read(buffer.data(), 24320), 24320);  // 20 ms of full-speed frames
    EXPECT_GE(GetTickCount() - start, 19u);
    for (int i = 1; i < 24320; ++i) ASSERT_EQ(BYTE(buffer[i] - buffer[i - 1]), 1) << i;
}

}  // namespace

// The driver over a real libusb: dermo -> the platform's USB stack -> the libusb device model ->
// libusb -> usbdevfs ioctls on a umockdev node -> the simulated sensor, all in this process.
// Runs under umockdev-wrapper, which redirects /dev and /sys to the testbed.
#include <sensor/fingerprint.h>
#include <sensor/sensor_registers.h>
#include <sensor/usbfs_device.h>
#include <umockdev.h>

#include <host/libusb_host.h>

#include <numeric>
#include <thread>

#include "../stack/stack_fixture.h"

// ThreadSanitizer does not see the locks and queues of GLib (with GObject's libffi calls) and
// umockdev, which are built without it, so memory they hand between umockdev's worker thread and
// the test's is reported. Reports with a frame of theirs on either side are left out, which can
// also hide a race on the adapter's handler thread (it runs below umockdev's main loop); races
// among the driver, the stack, the libusb model and the sensor on the other threads are still
// reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libglib-2.0.so.0\n"
           "race:libgobject-2.0.so.0\n"
           "race:libffi.so.8\n"
           "race:libumockdev.so.0\n";
}

namespace {

using namespace dermo_stack_test;
namespace reg = sim::registers;

class LibusbRoadTest : public StackTest {
  protected:
    void TearDown() override {
        if (drx != INVALID_HANDLE_VALUE) CloseHandle(drx);
        drx = INVALID_HANDLE_VALUE;
        if (reader.joinable()) reader.join();
        libusb.reset();  // unplugs and waits until the stack has let go
        usbfs.reset();
        if (testbed != nullptr) g_object_unref(testbed);
        StackTest::TearDown();
    }

    // The sensor on the emulated bus, found by libusb, attached by the driver; DRX1: open.
    void AttachThroughLibusb(sim::SensorProfile profile) {
        ASSERT_TRUE(sim::writeDriverKeyValues(profile));
        sensor = std::make_shared<sim::Sensor>(profile);
        testbed = umockdev_testbed_new();
        usbfs = std::make_unique<sim::UsbfsDevice>(sensor);
        std::string why;
        ASSERT_TRUE(usbfs->add(testbed, 1, why)) << why;
        libusb = host::libusb::Host::start({profile.vendorId, profile.productId}, why);
        ASSERT_TRUE(libusb) << why;
        ASSERT_TRUE(libusb->waitForDevices(1, 5000)) << libusb->lastOpenError();
        ASSERT_TRUE(DrxActive());
        drx = Open();
        ASSERT_NE(drx, INVALID_HANDLE_VALUE);
    }

    // The demo's scan: the image size, capture mode, one read of the whole image.
    std::vector<BYTE> Scan() {
        BYTE size[4] = {};
        EXPECT_EQ(VendorRead(reg::kWidth, size, 4), 0u);
        const std::size_t width = size[0] | size[1] << 8;
        const std::size_t height = size[2] | size[3] << 8;
        std::vector<BYTE> image(width * height);
        EXPECT_EQ(VendorWrite(reg::kControl, nullptr, 0, reg::kModeCapture), 0u);
        const long long got = Read(image.data(), static_cast<DWORD>(image.size()));
        EXPECT_EQ(got, static_cast<long long>(image.size()));
        return image;
    }

    void StartBlockedRead() {
        reader = std::thread([this] {
            std::vector<BYTE> own(100);
            DWORD done = 0;
            result = ReadFile(drx, own.data(), 100, &done, nullptr) ? static_cast<long long>(done)
                                                                    : -1;
            readError = GetLastError();
        });
        for (int i = 0; i < 5000 && usbfs->urbsInFlight() == 0; ++i) Sleep(1);
        ASSERT_EQ(usbfs->urbsInFlight(), 1u);
    }

    bool WaitNothingInFlight() {
        for (int i = 0; i < 5000 && usbfs->urbsInFlight() > 0; ++i) Sleep(1);
        return usbfs->urbsInFlight() == 0;
    }

    UMockdevTestbed* testbed = nullptr;
    std::unique_ptr<sim::UsbfsDevice> usbfs;
    std::unique_ptr<host::libusb::Host> libusb;
    std::vector<BYTE> buffer = std::vector<BYTE>(65536);
    std::thread reader;
    long long result = 0;
    DWORD readError = 0;
};

TEST_F(LibusbRoadTest, TheDriverAttachesAndSeesTheSensorsOwnDescriptors) {
    ASSERT_NO_FATAL_FAILURE(AttachThroughLibusb(Profile("default")));
    WORD ids[4] = {};
    ASSERT_EQ(Control(IOCTL_SENSOR_GET_DEVICE_IDS, nullptr, 0, ids, sizeof ids), 0u);
    EXPECT_EQ(ids[0], sensor->profile().vendorId);
    EXPECT_EQ(ids[1], sensor->profile().productId);
    EXPECT_EQ(ids[2], sensor->profile().release);
    // SET_INTERFACE reached the device through the kernel's side, not the stack's own answer.
    EXPECT_EQ(sensor->selectedAlternateSetting(), 0);
    BYTE chip = 0;
    ASSERT_EQ(VendorRead(reg::kChipId, &chip, 1), 0u);
    EXPECT_EQ(chip, reg::kChipIdValue);
}

TEST_F(LibusbRoadTest, AScanIsReadInChunksAndIsTheSensorsImage) {
    ASSERT_NO_FATAL_FAILURE(AttachThroughLibusb(Profile("default")));
    const std::vector<BYTE> image = Scan();
    EXPECT_EQ(image, sim::fingerprintImage(160, 192, 1));
    EXPECT_EQ(sensor->bulkTransferCount(), 8u);  // 30720 bytes in transfers of 4096
}

TEST_F(LibusbRoadTest, AStallHaltsThePipeAndTheRecoveryClearsItOnTheDevice) {
    sim::SensorProfile profile = Profile("default");
    profile.driverKeyValues.push_back({"BulkRetryNumber", std::uint32_t{1}});
    ASSERT_NO_FATAL_FAILURE(AttachThroughLibusb(profile));
    std::vector<BYTE> sent(100);
    std::iota(sent.begin(), sent.end(), BYTE{1});
    ASSERT_EQ(Write(sent.data(), 100), 100);
    sensor->setFault("stall-in", 1);
    ASSERT_EQ(Read(buffer.data(), 100), 100);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin()));
    // The driver's CLEAR_FEATURE and libusb_clear_halt's.
    EXPECT_EQ(sensor->clearHaltCount(), 2u);
}

TEST_F(LibusbRoadTest, APipeHaltedForGoodIsClearedByResettingTheDevice) {
    ASSERT_NO_FATAL_FAILURE(AttachThroughLibusb(Profile("default")));
    ASSERT_EQ(Write(buffer.data(), 100), 100);
    sensor->setFault("halt-in");
    for (unsigned call = 1; call <= 3; ++call) EXPECT_EQ(Read(buffer.data(), 100), -1) << call;
    EXPECT_EQ(sensor->resetCount(), 1u);  // the third failure: libusb_reset_device
    EXPECT_EQ(Read(buffer.data(), 100), 100);
}

TEST_F(LibusbRoadTest, ATimedOutReadIsDiscardedAndTheNextOneWorks) {
    ASSERT_NO_FATAL_FAILURE(AttachThroughLibusb(Profile("default")));
    ASSERT_EQ(SetTimeouts(100, 0, 0), 0u);
    sensor->setFault("timeout-in", 1);
    EXPECT_EQ(Read(buffer.data(), 100), -1);
    EXPECT_EQ(error, DWORD{ERROR_TIMEOUT});
    EXPECT_TRUE(WaitNothingInFlight());
    EXPECT_EQ(sensor->completeHeldTransfers(), 0u);
    ASSERT_EQ(Write(buffer.data(), 10), 10);
    EXPECT_EQ(Read(buffer.data(), 10), 10);
}

TEST_F(LibusbRoadTest, AnUnplugUnderAReadFailsItAndTheDriverLetsGo) {
    ASSERT_NO_FATAL_FAILURE(AttachThroughLibusb(Profile("default")));
    StartBlockedRead();
    usbfs->remove();
    reader.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(readError, DWORD{ERROR_GEN_FAILURE});
    ASSERT_TRUE(WaitDetached(drx));
    EXPECT_EQ(Read(buffer.data(), 10), -1);
    EXPECT_EQ(error, DWORD{ERROR_NOT_READY});
    for (int i = 0; i < 5000 && !libusb->devices().empty(); ++i) Sleep(1);
    EXPECT_TRUE(libusb->devices().empty());
}

TEST_F(LibusbRoadTest, AnAbortCancelsTheTransferOnTheDevice) {
    ASSERT_NO_FATAL_FAILURE(AttachThroughLibusb(Profile("default")));
    StartBlockedRead();
    const DWORD in = PIPE_SELECT_IN;
    EXPECT_EQ(Control(IOCTL_SENSOR_ABORT_AND_RESET_PIPES, &in, sizeof in), 0u);
    reader.join();
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(WaitNothingInFlight());
    ASSERT_EQ(Write(buffer.data(), 10), 10);
    EXPECT_EQ(Read(buffer.data(), 10), 10);
}

// The same scan against the simulated sensor plugged into the stack directly gives the same
// image.
TEST_F(LibusbRoadTest, TheDemosScanGivesTheSameImageAsTheSimulatedSensorDirectly) {
    PlugAndOpen(Profile("default"));
    const std::vector<BYTE> direct = Scan();
    CloseHandle(drx);
    drx = INVALID_HANDLE_VALUE;
    UnplugAndWait();
    ASSERT_NO_FATAL_FAILURE(AttachThroughLibusb(Profile("default")));
    EXPECT_EQ(Scan(), direct);
}

}  // namespace

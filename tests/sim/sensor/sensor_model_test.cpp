// The sensor model on its own, driven with requests as the stack would hand them over: its
// registers, the capture, its data sources and its faults.
#include <gtest/gtest.h>
#include <sensor/fingerprint.h>
#include <sensor/sensor.h>

#include <memory>
#include <vector>

namespace {

namespace reg = sim::registers;

// A request that records how the model completed it.
class FakeRequest : public host::usb::Request {
  public:
    FakeRequest(host::usb::TransferType type, bool in, DWORD length, std::vector<BYTE> out = {},
                USB_DEVICE_REQUEST setup = {})
        : type_(type), in_(in), length_(length), out_(std::move(out)), setup_(setup) {}

    host::usb::TransferType type() const override { return type_; }
    BYTE endpoint() const override { return in_ ? 0x81 : 0x02; }
    bool isIn() const override { return in_; }
    const USB_DEVICE_REQUEST& setup() const override { return setup_; }
    DWORD length() const override { return length_; }
    std::span<const BYTE> outData() const override { return out_; }
    DWORD flags() const override { return in_ ? USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK : 0; }
    bool reply(std::span<const BYTE> data, DWORD usbError) override {
        if (!pending_) return false;
        replied.assign(data.begin(), data.end());
        return finish(usbError);
    }
    bool accept(DWORD bytes, DWORD usbError) override {
        if (!pending_) return false;
        accepted = bytes;
        return finish(usbError);
    }
    bool fail(DWORD usbError) override { return pending_ && finish(usbError); }
    bool pending() const override { return pending_; }

    std::vector<BYTE> replied;
    DWORD accepted = 0;
    DWORD error = USB_NOT_COMPLETE_ERROR;

  private:
    bool finish(DWORD usbError) {
        pending_ = false;
        error = usbError;
        return true;
    }
    const host::usb::TransferType type_;
    const bool in_;
    const DWORD length_;
    const std::vector<BYTE> out_;
    const USB_DEVICE_REQUEST setup_;
    bool pending_ = true;
};

class SensorModelTest : public ::testing::Test {
  protected:
    std::shared_ptr<FakeRequest> Vendor(bool in, BYTE request, WORD index, WORD length,
                                        std::vector<BYTE> data = {}, WORD value = 0) {
        const USB_DEVICE_REQUEST setup{static_cast<BYTE>(in ? 0xC0 : 0x40), request, value, index,
                                       length};
        auto r = std::make_shared<FakeRequest>(host::usb::TransferType::Control, in, length,
                                               std::move(data), setup);
        EXPECT_TRUE(sensor.control(r));
        return r;
    }
    std::shared_ptr<FakeRequest> Bulk(bool in, DWORD length, std::vector<BYTE> data = {}) {
        auto r = std::make_shared<FakeRequest>(host::usb::TransferType::Bulk, in, length,
                                               std::move(data));
        sensor.transfer(r);
        return r;
    }

    sim::Sensor sensor{sim::defaultProfile()};
};

TEST_F(SensorModelTest, RegistersAnswerSingleAndBlockRequests) {
    auto chip = Vendor(true, reg::kVendorSingle, reg::kChipId, 1);
    EXPECT_EQ(chip->error, USB_NO_ERROR);
    EXPECT_EQ(chip->replied, (std::vector<BYTE>{reg::kChipIdValue}));
    auto size = Vendor(true, reg::kVendorBlock, reg::kWidth, 4);
    EXPECT_EQ(size->replied, (std::vector<BYTE>{160, 0, 192, 0}));

    EXPECT_EQ(Vendor(false, reg::kVendorBlock, reg::kScratch, 2, {7, 8})->error, USB_NO_ERROR);
    EXPECT_EQ(Vendor(false, reg::kVendorSingle, reg::kScratch + 2, 0, {}, 9)->error, USB_NO_ERROR);
    EXPECT_EQ(Vendor(true, reg::kVendorBlock, reg::kScratch, 3)->replied,
              (std::vector<BYTE>{7, 8, 9}));
}

TEST_F(SensorModelTest, RequestsTheRegistersDoNotAllowStall) {
    EXPECT_EQ(Vendor(false, reg::kVendorSingle, reg::kChipId, 1, {1})->error, USB_STALL_ERROR);
    EXPECT_EQ(Vendor(false, reg::kVendorBlock, reg::kControl, 2, {0, 1})->error,
              USB_STALL_ERROR);  // its second byte is the read-only width
    EXPECT_EQ(Vendor(true, reg::kVendorBlock, 0x3F, 2)->error, USB_STALL_ERROR);
    EXPECT_EQ(Vendor(true, reg::kVendorSingle, 0, 2)->error, USB_STALL_ERROR);
    EXPECT_EQ(Vendor(true, 0x05, 0, 1)->error, USB_STALL_ERROR);
    // A stalled write changed nothing.
    EXPECT_EQ(Vendor(true, reg::kVendorSingle, reg::kControl, 1)->replied,
              (std::vector<BYTE>{reg::kModeIdle}));
}

TEST_F(SensorModelTest, ACaptureYieldsTheFingerprintThenTheSensorIsIdleAgain) {
    Vendor(false, reg::kVendorBlock, reg::kSeed, 4, {42, 0, 0, 0});
    Vendor(false, reg::kVendorSingle, reg::kControl, 1, {reg::kModeCapture});
    EXPECT_EQ(Vendor(true, reg::kVendorSingle, reg::kStatus, 1)->replied[0],
              reg::kStatusImageReady);
    std::vector<BYTE> image;
    while (image.size() < 160u * 192u) {
        auto part = Bulk(true, 4096);
        ASSERT_EQ(part->error, USB_NO_ERROR);
        ASSERT_FALSE(part->replied.empty());
        image.insert(image.end(), part->replied.begin(), part->replied.end());
    }
    EXPECT_EQ(image, sim::fingerprintImage(160, 192, 42));
    EXPECT_EQ(Vendor(true, reg::kVendorSingle, reg::kStatus, 1)->replied[0], 0);
    // Back in loopback: a read waits for a write.
    auto waiting = Bulk(true, 10);
    EXPECT_TRUE(waiting->pending());
    Bulk(false, 3, {1, 2, 3});
    EXPECT_EQ(waiting->replied, (std::vector<BYTE>{1, 2, 3}));
}

TEST_F(SensorModelTest, FingerprintsAreDeterministicPerSeedAndLookInked) {
    const auto first = sim::fingerprintImage(64, 80, 5);
    EXPECT_EQ(first, sim::fingerprintImage(64, 80, 5));
    EXPECT_NE(first, sim::fingerprintImage(64, 80, 6));
    const auto [dark, light] = std::minmax_element(first.begin(), first.end());
    EXPECT_LT(*dark, 64);
    EXPECT_GT(*light, 200);
}

TEST_F(SensorModelTest, StallsLapseButAHaltLastsUntilTheSensorIsReset) {
    ASSERT_TRUE(sensor.setFault("stall-in", 2));
    EXPECT_EQ(Bulk(true, 10)->error, USB_STALL_ERROR);
    EXPECT_EQ(Bulk(true, 10)->error, USB_STALL_ERROR);
    EXPECT_TRUE(Bulk(true, 10)->pending());  // served again: waits for data

    ASSERT_TRUE(sensor.setFault("halt-out"));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Bulk(false, 1, {0})->error, USB_STALL_ERROR);
    EXPECT_TRUE(sensor.disable(true, 0));
    EXPECT_EQ(sensor.resetCount(), 1u);
    EXPECT_EQ(Bulk(false, 1, {0})->accepted, 1u);
}

TEST_F(SensorModelTest, HeldTransfersCompleteOnlyWhileTheStackStillHasThem) {
    ASSERT_TRUE(sensor.setFault("timeout-in", 2));
    auto first = Bulk(true, 4);
    auto second = Bulk(true, 4);
    EXPECT_EQ(sensor.heldTransfers(), 2u);
    second->fail(USB_CANCELED_ERROR);  // the driver closed it after its time-out
    EXPECT_EQ(sensor.completeHeldTransfers(), 1u);
    EXPECT_EQ(first->replied.size(), 4u);
}

TEST_F(SensorModelTest, ShortZeroLengthAndDefaultPipeFaults) {
    Vendor(false, reg::kVendorSingle, reg::kControl, 1, {reg::kModeStream});
    sensor.setFault("zero-length-in", 1);
    sensor.setFault("short-in", 5);
    EXPECT_TRUE(Bulk(true, 100)->replied.empty());
    EXPECT_EQ(Bulk(true, 100)->replied.size(), 5u);
    EXPECT_EQ(Bulk(true, 100)->replied.size(), 100u);

    sensor.setFault("halt-default", 1);
    EXPECT_EQ(Vendor(true, reg::kVendorSingle, reg::kChipId, 1)->error, USB_STALL_ERROR);
    EXPECT_EQ(Vendor(true, reg::kVendorSingle, reg::kChipId, 1)->error, USB_NO_ERROR);
    EXPECT_FALSE(sensor.setFault("melt"));
}

TEST_F(SensorModelTest, AClearHaltRequestFailsWhileRecoveryIsMadeToFail) {
    sensor.setFault("recovery-fails", 1);
    const USB_DEVICE_REQUEST clear{USB_REQUEST_FOR_ENDPOINT, USB_REQUEST_CLEAR_FEATURE, 0, 0, 0};
    auto first = std::make_shared<FakeRequest>(host::usb::TransferType::Control, false, 0,
                                               std::vector<BYTE>{}, clear);
    EXPECT_TRUE(sensor.control(first));
    EXPECT_EQ(first->error, USB_STALL_ERROR);
    auto second = std::make_shared<FakeRequest>(host::usb::TransferType::Control, false, 0,
                                                std::vector<BYTE>{}, clear);
    EXPECT_FALSE(sensor.control(second));  // the stack answers it as a conforming device
    EXPECT_EQ(sensor.clearHaltCount(), 2u);
}

}  // namespace

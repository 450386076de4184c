// The fingerprint sensor as a USB device model: the descriptors and strings of its profile, the
// power requests the stack passes on, its register set behind vendor requests
// (sensor_registers.h), and its bulk pipes paced at the profile's rate. Bulk IN delivers, by
// mode, what bulk OUT took (a loopback), a captured fingerprint image, or an endless counting
// pattern. Faults (sensor_faults.h) come from the profile and can be set at any time.
#pragma once

#include <host/usb.h>

#include <array>
#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "sensor/bulk_pacer.h"
#include "sensor/sensor_faults.h"
#include "sensor/sensor_profile.h"
#include "sensor/sensor_registers.h"

namespace sim {

class Sensor : public host::usb::DeviceModel {
  public:
    explicit Sensor(SensorProfile profile);

    host::usb::Descriptors descriptors() override;
    bool control(const host::usb::RequestPtr& request) override;
    void transfer(const host::usb::RequestPtr& request) override;
    bool suspend(BYTE interfaceNumber) override;
    bool resume(BYTE interfaceNumber) override;
    bool disable(bool reset, BYTE interfaceNumber) override;
    void unplugged() override;

    const SensorProfile& profile() const { return profile_; }

    // The id plug() gave the sensor; the unplug-in-transfer fault unplugs it.
    void setDeviceId(host::usb::DeviceId id) { deviceId_ = id; }
    // Applies a fault (sensor_faults.h); false for an unknown name.
    bool setFault(const std::string& name, std::optional<std::uint32_t> arg = std::nullopt);
    void setRate(BulkRate rate) { pacer_.setRate(rate); }

    // Transfers kept by a time-out fault: tries to complete each with data now and returns how
    // many the stack still took (0 once the driver has closed them).
    std::size_t completeHeldTransfers();
    // Held transfers that the stack still has pending.
    std::size_t heldTransfers();

    // What the stack passed on, for tests and the drx tool.
    unsigned suspendCount() const { return suspends_.load(); }
    unsigned resumeCount() const { return resumes_.load(); }
    unsigned resetCount() const { return resets_.load(); }
    unsigned clearHaltCount() const { return clearHalts_.load(); }
    unsigned bulkTransferCount() const { return bulkTransfers_.load(); }
    bool suspended() const { return suspended_.load(); }
    // The alternate setting of the last SET_INTERFACE, or -1 before any.
    int selectedAlternateSetting() const { return alternateSetting_.load(); }

  private:
    enum class Fate { Serve, Stall, Hold, Unplug };
    Fate fateLocked(const host::usb::Request& request);
    bool vendorLocked(const host::usb::RequestPtr& request);
    bool readRegistersLocked(std::size_t first, std::size_t count, std::vector<BYTE>& out) const;
    bool writeRegistersLocked(std::size_t first, std::span<const BYTE> values);
    void setModeLocked(BYTE mode);
    void serveReadsLocked();
    // The bytes the next IN transfer of this length delivers, taken from the mode's source.
    std::vector<BYTE> takeInDataLocked(std::size_t length);
    bool hasInDataLocked() const;

    const SensorProfile profile_;
    std::atomic<unsigned> suspends_{0};
    std::atomic<unsigned> resumes_{0};
    std::atomic<unsigned> resets_{0};
    std::atomic<unsigned> clearHalts_{0};
    std::atomic<unsigned> bulkTransfers_{0};
    std::atomic<bool> suspended_{false};
    std::atomic<int> alternateSetting_{-1};
    std::atomic<host::usb::DeviceId> deviceId_{0};

    std::mutex lock_;
    // All guarded by lock_.
    SensorFaults faults_;
    std::array<BYTE, registers::kCount> registers_{};
    std::deque<BYTE> loopback_;
    std::vector<BYTE> image_;
    std::size_t imageOffset_ = 0;
    BYTE streamCounter_ = 0;
    std::deque<host::usb::RequestPtr> pendingReads_;
    std::vector<host::usb::RequestPtr> held_;

    BulkPacer pacer_;  // last: its thread stops before the rest goes
};

}  // namespace sim

// The fingerprint sensor as a USB device model: the descriptors of its profile, the power
// requests the stack passes on, and a loopback of its bulk pipes (what the host writes to bulk
// OUT comes back on bulk IN).
#pragma once

#include <host/usb.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "sensor/sensor_profile.h"

namespace sim {

class Sensor : public host::usb::DeviceModel {
  public:
    explicit Sensor(SensorProfile profile);

    host::usb::Descriptors descriptors() override;
    bool control(const host::usb::RequestPtr& request) override;
    void transfer(const host::usb::RequestPtr& request) override;
    bool suspend(BYTE interfaceNumber) override;
    bool resume(BYTE interfaceNumber) override;
    void unplugged() override;

    const SensorProfile& profile() const { return profile_; }

    // What the stack passed on, for tests and the drx tool.
    unsigned suspendCount() const { return suspends_.load(); }
    unsigned resumeCount() const { return resumes_.load(); }
    bool suspended() const { return suspended_.load(); }
    // The alternate setting of the last SET_INTERFACE, or -1 before any.
    int selectedAlternateSetting() const { return alternateSetting_.load(); }

  private:
    void serveReadsLocked();

    const SensorProfile profile_;
    std::atomic<unsigned> suspends_{0};
    std::atomic<unsigned> resumes_{0};
    std::atomic<bool> suspended_{false};
    std::atomic<int> alternateSetting_{-1};

    std::mutex lock_;
    std::deque<BYTE> loopback_;                       // guarded by lock_
    std::deque<host::usb::RequestPtr> pendingReads_;  // guarded by lock_
};

}  // namespace sim

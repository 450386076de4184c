// An open handle on a stream device.
//
// Closing the handle calls the driver's PreClose at once, so that threads blocked in the driver
// on this handle return; the driver's Close, which frees its open context, runs only when the
// last call in flight has returned. Whoever flips driverClosed_ under the device's lock makes the
// Close call, so it happens exactly once.
#pragma once

#include "devices/device.h"
#include "files/io_object.h"

namespace ce::devices {

class OpenDevice final : public files::IoObject {
  public:
    OpenDevice(std::shared_ptr<Device> device, DWORD_PTR context)
        : device_(std::move(device)), context_(context) {}

    BOOL read(void* buffer, DWORD count, DWORD* done) override;
    BOOL write(const void* buffer, DWORD count, DWORD* done) override;
    DWORD seek(LONG distance, LONG* distanceHigh, DWORD method) override;
    BOOL ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                   DWORD* returned) override;
    void onHandleClosed() override;

    // For DeactivateDevice: wakes the calls blocked on this handle, and, once no call is in
    // flight on the device, closes the driver's open context. The PreClose counts as a call on
    // the handle, so a CloseHandle while it runs cannot close the context under it.
    void preCloseForRemoval();
    void closeForRemoval();

  private:
    bool enter();
    // Ends a call begun by enter() (or by the close path); runs Close when this was the last
    // call on a closed handle.
    void leave(std::unique_lock<std::mutex>& lock);

    const std::shared_ptr<Device> device_;
    const DWORD_PTR context_;
    // Guarded by device_->lock.
    int inFlight_ = 0;
    bool handleClosed_ = false;
    bool preClosed_ = false;
    bool driverClosed_ = false;
};

}  // namespace ce::devices

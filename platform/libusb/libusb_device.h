// One real device as a device model: an open libusb handle with its interfaces claimed (see
// <host/libusb_host.h> for how each request maps onto libusb).
//
// Threads. Requests arrive on the clients' threads and are submitted there; their libusb
// transfers complete on the host's event thread, which completes the Requests. `lock_` guards
// the transfers in flight and is never held while the stack is called.
#pragma once

#include <host/usb.h>
#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace host::libusb {

class LibusbDevice : public host::usb::DeviceModel {
  public:
    // Called once when the device turns out to be gone (a transfer or reset found no device).
    using LostHandler = std::function<void()>;

    // Opens the device, claims its interfaces and reads its descriptors. Null, with the reason
    // in `error`, if it cannot be had.
    static std::shared_ptr<LibusbDevice> open(libusb_device* device, std::string& error);
    ~LibusbDevice() override;

    void onLost(LostHandler handler);

    host::usb::Descriptors descriptors() override;
    bool control(const host::usb::RequestPtr& request) override;
    void transfer(const host::usb::RequestPtr& request) override;
    void cancel(const host::usb::RequestPtr& request) override;
    bool resetPipe(BYTE endpoint) override;
    bool suspend(BYTE interfaceNumber) override;
    bool resume(BYTE interfaceNumber) override;
    bool disable(bool reset, BYTE interfaceNumber) override;
    // Cancels what is in flight, waits for libusb to give it back, and closes the handle.
    void unplugged() override;

  private:
    LibusbDevice(libusb_device_handle* handle, host::usb::Descriptors descriptors,
                 std::vector<int> interfaces);
    static void LIBUSB_CALL completed(libusb_transfer* transfer);
    void finish(libusb_transfer* transfer);
    // Submits the filled transfer for the request, or fails the request.
    void submit(const host::usb::RequestPtr& request, libusb_transfer* transfer);
    // A libusb error of a synchronous call as the stack's USB error (a lost device reported).
    DWORD usbErrorOf(int libusbError);
    void lost();
    void close();

    libusb_device_handle* handle_;
    const host::usb::Descriptors descriptors_;
    const std::vector<int> interfaces_;  // claimed
    std::atomic<bool> lostReported_{false};

    std::mutex lock_;
    std::condition_variable changed_;
    // Guarded by lock_.
    LostHandler lostHandler_;
    std::map<const host::usb::Request*, libusb_transfer*> inFlight_;
    bool closed_ = false;
};

}  // namespace host::libusb

// Real USB devices under the platform's USB stack, through libusb-1.0.
//
// A Host owns one libusb context and two threads: one runs libusb's events (every completion
// arrives there), the other plugs and unplugs devices as libusb reports them arriving and
// leaving, so that the stack's client search (Drivers\USB\LoadClients) and the close
// notification work as they do for a simulated device. Each matching device is opened, its
// interfaces are claimed, and a device model (libusb_device.h) stands for it:
//   descriptors      the device's own, read through libusb (strings in US English)
//   transfers        control, bulk and interrupt Requests become asynchronous libusb transfers;
//                    completion, stall, overrun and a vanished device come back as the stack's
//                    USB errors
//   cancel, close    libusb_cancel_transfer
//   SET_INTERFACE    libusb_set_interface_alt_setting (the kernel must know the setting)
//   ResetPipe        libusb_clear_halt
//   DisableDevice    with reset: libusb_reset_device; a device that is gone after it is unplugged
//   suspend, resume  libusb has no per-device suspend: both succeed and change nothing (the
//                    kernel's own autosuspend, where enabled, is what saves power)
// No lock of the stack is held while libusb is called: the stack calls models without one.
#pragma once

#include <host/usb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host::libusb {

// Which devices to take; an empty field matches any.
struct Match {
    std::optional<WORD> vendorId;
    std::optional<WORD> productId;
};

class Host {
  public:
    // Starts libusb and plugs every matching device already attached (on return they have been
    // offered to the client drivers). Null, with the reason in `error`, if libusb cannot start.
    static std::unique_ptr<Host> start(const Match& match, std::string& error);
    // Unplugs every device it plugged and waits until they are gone, then stops libusb.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // The devices plugged now, in the order they arrived.
    std::vector<host::usb::DeviceId> devices() const;
    // Waits until `count` devices are plugged; false on time-out.
    bool waitForDevices(std::size_t count, DWORD timeoutMs) const;
    // Why the last matching device that could not be opened was refused ("access denied"...);
    // empty if none was.
    std::string lastOpenError() const;

    struct State;

  private:
    explicit Host(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace host::libusb

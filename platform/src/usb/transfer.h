// One transfer: the client's handle (USB_TRANSFER) and the model's Request are the same object.
//
// Its state belongs to its device and is guarded by the device's lock. The client's buffer is
// reachable only through `buffer`, which is cleared when the transfer completes, is cancelled or
// is closed; the model reaches it only through reply(), under that lock. So nothing can write to
// the buffer after CloseTransfer.
#pragma once

#include <host/usb.h>

#include <memory>
#include <thread>
#include <vector>

namespace ce::usb {

class Device;
struct Pipe;

struct TransferSetup {
    host::usb::TransferType type = host::usb::TransferType::Control;
    std::shared_ptr<Pipe> pipe;  // null for the default pipe
    BYTE endpoint = 0;
    bool in = false;
    USB_DEVICE_REQUEST setup{};
    DWORD flags = 0;
    LPTRANSFER_NOTIFY_ROUTINE routine = nullptr;
    LPVOID parameter = nullptr;
    void* buffer = nullptr;
    DWORD length = 0;
};

class Transfer final : public host::usb::Request, public std::enable_shared_from_this<Transfer> {
  public:
    Transfer(std::shared_ptr<Device> device, const TransferSetup& setup);

    host::usb::TransferType type() const override { return setup_.type; }
    BYTE endpoint() const override { return setup_.endpoint; }
    bool isIn() const override { return setup_.in; }
    const USB_DEVICE_REQUEST& setup() const override { return setup_.setup; }
    DWORD length() const override { return setup_.length; }
    std::span<const BYTE> outData() const override { return outData_; }
    DWORD flags() const override { return setup_.flags; }
    bool reply(std::span<const BYTE> data, DWORD usbError) override;
    bool accept(DWORD bytes, DWORD usbError) override;
    bool fail(DWORD usbError) override;
    bool pending() const override;

    const std::shared_ptr<Device>& device() const { return device_; }
    const std::shared_ptr<Pipe>& pipe() const { return setup_.pipe; }
    LPTRANSFER_NOTIFY_ROUTINE routine() const { return setup_.routine; }
    LPVOID parameter() const { return setup_.parameter; }
    // Issued without a routine and without USB_NO_WAIT: the issuing call waits for it.
    bool synchronous() const { return setup_.routine == nullptr && !(setup_.flags & USB_NO_WAIT); }

    USB_TRANSFER handle = nullptr;

    // Guarded by the device's lock.
    bool done = false;
    bool closed = false;
    BYTE* buffer = nullptr;
    DWORD bytesTransferred = 0;
    DWORD error = USB_NOT_COMPLETE_ERROR;
    bool callbackRunning = false;
    std::thread::id callbackThread;

  private:
    const std::shared_ptr<Device> device_;
    const TransferSetup setup_;
    const std::vector<BYTE> outData_;
};

}  // namespace ce::usb

// The process's USB stack: the handle tables and the plugged devices. Built on first use and never
// destroyed, so that a client may still call into it while the process exits.
#pragma once

#include <host/usb.h>

#include <map>
#include <memory>
#include <mutex>

#include "usb/device.h"
#include "usb/handle_table.h"

namespace ce::usb {

class Stack {
  public:
    static Stack& instance();

    HandleTable<Device> devices{1};
    HandleTable<Pipe> pipes{2};
    HandleTable<Transfer> transfers{3};

    host::usb::DeviceId reserveId();
    bool wasIssued(host::usb::DeviceId id);
    void add(const std::shared_ptr<Device>& device);
    std::shared_ptr<Device> byId(host::usb::DeviceId id);
    void remove(host::usb::DeviceId id);
    std::size_t deviceCount();

  private:
    std::mutex lock_;
    std::map<host::usb::DeviceId, std::shared_ptr<Device>> byId_;
    host::usb::DeviceId nextId_ = 1;
};

// Looks the handle up; null, with the last error ERROR_INVALID_HANDLE, if it names nothing.
std::shared_ptr<Device> findDevice(USB_HANDLE handle);
std::shared_ptr<Pipe> findPipe(USB_PIPE handle);
std::shared_ptr<Transfer> findTransfer(USB_TRANSFER handle);

}  // namespace ce::usb

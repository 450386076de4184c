// One plugged device: its pipes, its transfers, its client's notification routines and the two
// threads of the stack that serve it.
//
// Threads. The control thread runs the client search and USBDeviceAttach, then waits for the
// unplug, calls the notification routines and lets go of the device. The completion thread calls
// the completion routines, in the order the transfers completed. Neither the model nor a client
// routine is ever called with `lock_` held.
#pragma once

#include <host/usb.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "usb/device_view.h"
#include "usb/transfer.h"
#include "usb/worker.h"

namespace ce::usb {

class Device;

struct Pipe {
    Pipe(std::shared_ptr<Device> owner, const USB_ENDPOINT_DESCRIPTOR& endpoint)
        : device(std::move(owner)), descriptor(endpoint) {}

    const std::shared_ptr<Device> device;
    const USB_ENDPOINT_DESCRIPTOR descriptor;  // the device's own, not the client's copy
    USB_PIPE handle = nullptr;
    // Guarded by the device's lock.
    bool halted = false;
    bool closed = false;
};

// What the client search found; `library` stays loaded while the client has the device.
struct Client {
    bool attached = false;
    std::string driverId;
    std::string loadKey;
    void* library = nullptr;
};

class Device : public std::enable_shared_from_this<Device> {
  public:
    Device(host::usb::DeviceId id, std::shared_ptr<host::usb::DeviceModel> model,
           std::unique_ptr<DeviceView> view, const USB_FUNCS& funcs);

    host::usb::DeviceId id() const { return id_; }
    const DeviceView& view() const { return *view_; }
    const USB_FUNCS& funcs() const { return funcs_; }
    USB_HANDLE handle() const { return handle_; }

    // Takes the handle, starts the threads and runs the client search; returns its outcome.
    host::usb::PlugResult attach(USB_HANDLE handle);
    bool unplug();
    bool waitGone(DWORD timeoutMs);
    bool isUnplugged();

    // Null, with the last error set, if the transfer cannot be issued. Waits for a synchronous
    // transfer to complete.
    USB_TRANSFER issue(const TransferSetup& setup);
    bool completeIn(Transfer& transfer, std::span<const BYTE> data, DWORD usbError);
    bool completeOut(Transfer& transfer, DWORD bytes, DWORD usbError);
    bool isDone(const Transfer& transfer);
    void status(Transfer& transfer, DWORD& bytes, DWORD& usbError);
    void abort(Transfer& transfer);
    // The transfer's handle is already gone from the table.
    void close(const std::shared_ptr<Transfer>& transfer);

    USB_PIPE openPipe(const USB_ENDPOINT_DESCRIPTOR& endpoint);
    void abortPipe(Pipe& pipe);
    void closePipe(const std::shared_ptr<Pipe>& pipe);
    bool isHalted(const Pipe& pipe);
    // False, with the last error set, if the model keeps the pipe halted.
    bool resetPipe(Pipe& pipe);
    bool isDefaultPipeHalted();
    bool resetDefaultPipe();

    BOOL registerNotification(LPDEVICE_NOTIFY_ROUTINE routine, LPVOID parameter);
    BOOL unregisterNotification(LPDEVICE_NOTIFY_ROUTINE routine, LPVOID parameter);

    BOOL suspend(BYTE interfaceNumber);
    BOOL resume(BYTE interfaceNumber);
    BOOL disable(bool reset, BYTE interfaceNumber);

    // Closes every pipe and transfer a client left and forgets its notification routines.
    void releaseClientObjects();

  private:
    void controlThread();
    void letGo();
    void finishLocked(Transfer& transfer, DWORD bytes, DWORD usbError);
    void runCallback(const std::shared_ptr<Transfer>& transfer);
    void deliver(host::usb::DeviceModel& model, const std::shared_ptr<Transfer>& transfer);
    // Passes the stack's cancellations on to the model; called without `lock_`.
    void tellCancelled(const std::vector<std::shared_ptr<Transfer>>& cancelled);
    // The model's side of a pipe reset; true once the device is detached.
    bool resetInModel(BYTE endpoint);
    // The answer of a conforming device to a standard request (standard_requests.cpp).
    void answerStandardRequest(Transfer& transfer);
    BYTE currentAlternateSetting(BYTE interfaceNumber);
    // The model, counted as in use until endModelCall; null once the device is detached.
    std::shared_ptr<host::usb::DeviceModel> beginModelCallLocked();
    void endModelCall();
    template <class Fn>
    BOOL power(Fn call);

    const host::usb::DeviceId id_;
    const std::unique_ptr<DeviceView> view_;
    const USB_FUNCS& funcs_;
    USB_HANDLE handle_ = nullptr;

    std::mutex lock_;
    std::condition_variable changed_;
    std::shared_ptr<host::usb::DeviceModel> model_;
    int modelCalls_ = 0;
    bool attachDone_ = false;
    bool detached_ = false;
    bool gone_ = false;
    Client client_;
    bool defaultPipeHalted_ = false;
    std::map<BYTE, BYTE> alternateSettings_;  // interface number to setting, once set
    std::vector<std::shared_ptr<Pipe>> pipes_;
    std::vector<std::shared_ptr<Transfer>> transfers_;
    struct Notification {
        LPDEVICE_NOTIFY_ROUTINE routine;
        LPVOID parameter;
    };
    std::vector<Notification> notifications_;

    Worker completions_;
};

}  // namespace ce::usb

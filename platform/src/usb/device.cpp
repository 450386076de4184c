#include "usb/device.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "kernel/loader.h"
#include "usb/client_attach.h"
#include "usb/stack.h"

namespace ce::usb {
namespace {

template <class T>
void eraseOne(std::vector<std::shared_ptr<T>>& list, const T* item) {
    std::erase_if(list, [&](const auto& p) { return p.get() == item; });
}

}  // namespace

Device::Device(host::usb::DeviceId id, std::shared_ptr<host::usb::DeviceModel> model,
               std::unique_ptr<DeviceView> view, const USB_FUNCS& funcs)
    : id_(id), view_(std::move(view)), funcs_(funcs), model_(std::move(model)) {}

host::usb::PlugResult Device::attach(USB_HANDLE handle) {
    handle_ = handle;
    // The control thread owns a reference until it has let go of the device; nobody joins it.
    std::thread([self = shared_from_this()] { self->controlThread(); }).detach();
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return attachDone_; });
    return {id_, client_.attached, client_.driverId, client_.loadKey};
}

void Device::controlThread() {
    Client client = attachClient(*this);
    std::vector<Notification> notifications;
    {
        std::unique_lock lock(lock_);
        client_ = std::move(client);
        attachDone_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return detached_; });
        notifications = notifications_;
    }
    for (const Notification& n : notifications)
        n.routine(n.parameter, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr);
    letGo();
}

void Device::letGo() {
    // Every transfer completed at the unplug; its routine may still be queued.
    completions_.stop();
    std::shared_ptr<host::usb::DeviceModel> model;
    {
        std::unique_lock lock(lock_);
        changed_.wait(lock, [&] { return modelCalls_ == 0; });
        model = std::move(model_);
    }
    releaseClientObjects();
    model->unplugged();
    model.reset();
    if (client_.library != nullptr) ce::kernel::closeLibrary(client_.library);
    Stack::instance().devices.erase(handle_);
    Stack::instance().remove(id_);
    std::lock_guard guard(lock_);
    gone_ = true;
    changed_.notify_all();
}

bool Device::unplug() {
    std::lock_guard guard(lock_);
    if (detached_) return false;
    detached_ = true;
    for (const auto& t : transfers_)
        if (!t->done) finishLocked(*t, 0, USB_DEVICE_NOT_RESPONDING_ERROR);
    changed_.notify_all();
    return true;
}

bool Device::isUnplugged() {
    std::lock_guard guard(lock_);
    return detached_;
}

bool Device::waitGone(DWORD timeoutMs) {
    std::unique_lock lock(lock_);
    if (!detached_) return false;
    const auto isGone = [&] { return gone_; };
    if (timeoutMs == INFINITE) {
        changed_.wait(lock, isGone);
        return true;
    }
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), isGone);
}

void Device::releaseClientObjects() {
    std::vector<std::shared_ptr<Transfer>> transfers;
    std::vector<std::shared_ptr<Pipe>> pipes;
    {
        std::unique_lock lock(lock_);
        for (const auto& t : transfers_) {
            t->closed = true;
            if (!t->done) finishLocked(*t, 0, USB_CANCELED_ERROR);
        }
        changed_.wait(lock, [&] {
            return std::none_of(transfers_.begin(), transfers_.end(),
                                [](const auto& t) { return t->callbackRunning; });
        });
        for (const auto& p : pipes_) p->closed = true;
        transfers.swap(transfers_);
        pipes.swap(pipes_);
        notifications_.clear();
    }
    for (const auto& t : transfers) Stack::instance().transfers.erase(t->handle);
    for (const auto& p : pipes) Stack::instance().pipes.erase(p->handle);
}

std::shared_ptr<host::usb::DeviceModel> Device::beginModelCallLocked() {
    if (detached_ || !model_) return nullptr;
    ++modelCalls_;
    return model_;
}

void Device::endModelCall() {
    std::lock_guard guard(lock_);
    if (--modelCalls_ == 0) changed_.notify_all();
}

USB_TRANSFER Device::issue(const TransferSetup& setup) {
    if (setup.length > 0 && setup.buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto transfer = std::make_shared<Transfer>(shared_from_this(), setup);
    std::shared_ptr<host::usb::DeviceModel> model;
    {
        std::lock_guard guard(lock_);
        if (setup.pipe && setup.pipe->closed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        model = beginModelCallLocked();
        if (!model) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return nullptr;
        }
        transfer->handle =
            reinterpret_cast<USB_TRANSFER>(Stack::instance().transfers.insert(transfer));
        transfers_.push_back(transfer);
        // A halted pipe refuses every transfer until it is reset.
        if (setup.pipe ? setup.pipe->halted : defaultPipeHalted_)
            finishLocked(*transfer, 0, USB_STALL_ERROR);
    }
    if (!isDone(*transfer)) deliver(*model, transfer);
    model.reset();
    endModelCall();
    if (transfer->synchronous()) {
        std::unique_lock lock(lock_);
        changed_.wait(lock, [&] { return transfer->done; });
    }
    return transfer->handle;
}

void Device::deliver(host::usb::DeviceModel& model, const std::shared_ptr<Transfer>& transfer) {
    if (transfer->type() != host::usb::TransferType::Control)
        model.transfer(transfer);
    else if (!model.control(transfer))
        answerStandardRequest(*transfer);
}

bool Device::completeIn(Transfer& transfer, std::span<const BYTE> data, DWORD usbError) {
    std::lock_guard guard(lock_);
    if (transfer.done) return false;
    const DWORD length = transfer.length();
    const DWORD bytes = static_cast<DWORD>(std::min<std::size_t>(data.size(), length));
    if (bytes > 0) std::memcpy(transfer.buffer, data.data(), bytes);
    if (usbError == USB_NO_ERROR) {
        if (data.size() > length)
            usbError = USB_DATA_OVERRUN_ERROR;
        else if (bytes < length && !(transfer.flags() & USB_SHORT_TRANSFER_OK))
            usbError = USB_DATA_UNDERRUN_ERROR;
    }
    finishLocked(transfer, bytes, usbError);
    return true;
}

bool Device::completeOut(Transfer& transfer, DWORD bytes, DWORD usbError) {
    std::lock_guard guard(lock_);
    if (transfer.done) return false;
    finishLocked(transfer, std::min(bytes, transfer.length()), usbError);
    return true;
}

void Device::finishLocked(Transfer& transfer, DWORD bytes, DWORD usbError) {
    transfer.done = true;
    transfer.buffer = nullptr;
    transfer.bytesTransferred = bytes;
    transfer.error = usbError;
    if (usbError == USB_STALL_ERROR) {
        if (transfer.pipe())
            transfer.pipe()->halted = true;
        else
            defaultPipeHalted_ = true;
    }
    const USB_DEVICE_REQUEST& setup = transfer.setup();
    if (usbError == USB_NO_ERROR && transfer.type() == host::usb::TransferType::Control &&
        setup.bmRequestType == (USB_REQUEST_STANDARD | USB_REQUEST_FOR_INTERFACE) &&
        setup.bRequest == USB_REQUEST_SET_INTERFACE)
        alternateSettings_[static_cast<BYTE>(setup.wIndex)] = static_cast<BYTE>(setup.wValue);
    changed_.notify_all();
    if (transfer.routine() != nullptr && !transfer.closed)
        completions_.post(
            [self = transfer.shared_from_this()] { self->device()->runCallback(self); });
}

void Device::runCallback(const std::shared_ptr<Transfer>& transfer) {
    {
        std::lock_guard guard(lock_);
        if (transfer->closed) return;
        transfer->callbackRunning = true;
        transfer->callbackThread = std::this_thread::get_id();
    }
    transfer->routine()(transfer->parameter());
    std::lock_guard guard(lock_);
    transfer->callbackRunning = false;
    changed_.notify_all();
}

bool Device::isDone(const Transfer& transfer) {
    std::lock_guard guard(lock_);
    return transfer.done;
}

void Device::status(Transfer& transfer, DWORD& bytes, DWORD& usbError) {
    std::lock_guard guard(lock_);
    bytes = transfer.done ? transfer.bytesTransferred : 0;
    usbError = transfer.done ? transfer.error : USB_NOT_COMPLETE_ERROR;
}

void Device::abort(Transfer& transfer) {
    std::vector<std::shared_ptr<Transfer>> cancelled;
    {
        std::lock_guard guard(lock_);
        if (!transfer.done) {
            finishLocked(transfer, 0, USB_CANCELED_ERROR);
            cancelled.push_back(transfer.shared_from_this());
        }
    }
    tellCancelled(cancelled);
}

void Device::close(const std::shared_ptr<Transfer>& transfer) {
    std::vector<std::shared_ptr<Transfer>> cancelled;
    {
        std::unique_lock lock(lock_);
        // Closed first, so that the cancellation queues no routine and a queued one does not run.
        transfer->closed = true;
        if (!transfer->done) {
            finishLocked(*transfer, 0, USB_CANCELED_ERROR);
            cancelled.push_back(transfer);
        }
        changed_.wait(lock, [&] {
            return !transfer->callbackRunning ||
                   transfer->callbackThread == std::this_thread::get_id();
        });
        eraseOne(transfers_, transfer.get());
    }
    tellCancelled(cancelled);
}

void Device::tellCancelled(const std::vector<std::shared_ptr<Transfer>>& cancelled) {
    if (cancelled.empty()) return;
    std::shared_ptr<host::usb::DeviceModel> model;
    {
        std::lock_guard guard(lock_);
        model = beginModelCallLocked();
    }
    if (!model) return;  // an unplugged model ends its own requests in unplugged()
    for (const auto& transfer : cancelled) model->cancel(transfer);
    model.reset();
    endModelCall();
}

USB_PIPE Device::openPipe(const USB_ENDPOINT_DESCRIPTOR& endpoint) {
    std::lock_guard guard(lock_);
    const USB_ENDPOINT_DESCRIPTOR* own =
        view_->findEndpoint(endpoint.bEndpointAddress, alternateSettings_);
    if (own == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (detached_) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    if (std::any_of(pipes_.begin(), pipes_.end(), [&](const auto& p) {
            return p->descriptor.bEndpointAddress == endpoint.bEndpointAddress;
        })) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return nullptr;
    }
    auto pipe = std::make_shared<Pipe>(shared_from_this(), *own);
    pipe->handle = reinterpret_cast<USB_PIPE>(Stack::instance().pipes.insert(pipe));
    pipes_.push_back(pipe);
    return pipe->handle;
}

void Device::abortPipe(Pipe& pipe) {
    std::vector<std::shared_ptr<Transfer>> cancelled;
    {
        std::lock_guard guard(lock_);
        for (const auto& t : transfers_)
            if (t->pipe().get() == &pipe && !t->done) {
                finishLocked(*t, 0, USB_CANCELED_ERROR);
                cancelled.push_back(t);
            }
    }
    tellCancelled(cancelled);
}

void Device::closePipe(const std::shared_ptr<Pipe>& pipe) {
    abortPipe(*pipe);
    std::lock_guard guard(lock_);
    pipe->closed = true;
    eraseOne(pipes_, pipe.get());
}

bool Device::isHalted(const Pipe& pipe) {
    std::lock_guard guard(lock_);
    return pipe.halted;
}

bool Device::resetInModel(BYTE endpoint) {
    std::shared_ptr<host::usb::DeviceModel> model;
    {
        std::lock_guard guard(lock_);
        model = beginModelCallLocked();
    }
    if (!model) return true;
    const bool ok = model->resetPipe(endpoint);
    model.reset();
    endModelCall();
    if (!ok) SetLastError(ERROR_GEN_FAILURE);
    return ok;
}

bool Device::resetPipe(Pipe& pipe) {
    if (!resetInModel(pipe.descriptor.bEndpointAddress)) return false;
    std::lock_guard guard(lock_);
    pipe.halted = false;
    return true;
}

bool Device::isDefaultPipeHalted() {
    std::lock_guard guard(lock_);
    return defaultPipeHalted_;
}

bool Device::resetDefaultPipe() {
    if (!resetInModel(0)) return false;
    std::lock_guard guard(lock_);
    defaultPipeHalted_ = false;
    return true;
}

BOOL Device::registerNotification(LPDEVICE_NOTIFY_ROUTINE routine, LPVOID parameter) {
    std::lock_guard guard(lock_);
    notifications_.push_back({routine, parameter});
    return TRUE;
}

BOOL Device::unregisterNotification(LPDEVICE_NOTIFY_ROUTINE routine, LPVOID parameter) {
    std::lock_guard guard(lock_);
    const auto it = std::find_if(notifications_.begin(), notifications_.end(), [&](const auto& n) {
        return n.routine == routine && n.parameter == parameter;
    });
    if (it == notifications_.end()) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    notifications_.erase(it);
    return TRUE;
}

template <class Fn>
BOOL Device::power(Fn call) {
    std::shared_ptr<host::usb::DeviceModel> model;
    {
        std::lock_guard guard(lock_);
        model = beginModelCallLocked();
    }
    if (!model) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    const bool ok = call(*model);
    model.reset();
    endModelCall();
    if (!ok) SetLastError(ERROR_GEN_FAILURE);
    return ok ? TRUE : FALSE;
}

BOOL Device::suspend(BYTE interfaceNumber) {
    return power([&](host::usb::DeviceModel& m) { return m.suspend(interfaceNumber); });
}

BOOL Device::resume(BYTE interfaceNumber) {
    return power([&](host::usb::DeviceModel& m) { return m.resume(interfaceNumber); });
}

BOOL Device::disable(bool reset, BYTE interfaceNumber) {
    const BOOL ok =
        power([&](host::usb::DeviceModel& m) { return m.disable(reset, interfaceNumber); });
    if (ok && reset) {
        // A reset device has forgotten its halts and settings.
        std::lock_guard guard(lock_);
        defaultPipeHalted_ = false;
        for (const auto& p : pipes_) p->halted = false;
        alternateSettings_.clear();
    }
    return ok;
}

BYTE Device::currentAlternateSetting(BYTE interfaceNumber) {
    std::lock_guard guard(lock_);
    const auto it = alternateSettings_.find(interfaceNumber);
    return it == alternateSettings_.end() ? 0 : it->second;
}

}  // namespace ce::usb

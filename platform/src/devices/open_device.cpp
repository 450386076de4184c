#include "devices/open_device.h"

namespace ce::devices {

bool OpenDevice::enter() {
    std::lock_guard guard(device_->lock);
    if (device_->removed) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    if (handleClosed_ || driverClosed_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    ++inFlight_;
    ++device_->inFlight;
    return true;
}

void OpenDevice::leave(std::unique_lock<std::mutex>& lock) {
    --inFlight_;
    if (handleClosed_ && inFlight_ == 0 && !driverClosed_) {
        driverClosed_ = true;
        lock.unlock();
        device_->driver.close(context_);
        lock.lock();
    }
    if (--device_->inFlight == 0) device_->idle.notify_all();
}

BOOL OpenDevice::read(void* buffer, DWORD count, DWORD* done) {
    if (!enter()) return FALSE;
    DWORD result = MAXDWORD;
    if (device_->driver.read)
        result = device_->driver.read(context_, buffer, count);
    else
        SetLastError(ERROR_NOT_SUPPORTED);
    std::unique_lock lock(device_->lock);
    leave(lock);
    if (result == MAXDWORD) return FALSE;
    *done = result;
    return TRUE;
}

BOOL OpenDevice::write(const void* buffer, DWORD count, DWORD* done) {
    if (!enter()) return FALSE;
    DWORD result = MAXDWORD;
    if (device_->driver.write)
        result = device_->driver.write(context_, buffer, count);
    else
        SetLastError(ERROR_NOT_SUPPORTED);
    std::unique_lock lock(device_->lock);
    leave(lock);
    if (result == MAXDWORD) return FALSE;
    *done = result;
    return TRUE;
}

DWORD OpenDevice::seek(LONG distance, LONG* distanceHigh, DWORD method) {
    if (!enter()) return INVALID_SET_FILE_POINTER;
    DWORD result = INVALID_SET_FILE_POINTER;
    if (device_->driver.seek)
        result = device_->driver.seek(context_, distance, static_cast<WORD>(method));
    else
        SetLastError(ERROR_NOT_SUPPORTED);
    std::unique_lock lock(device_->lock);
    leave(lock);
    // Stream drivers seek within 32 bits.
    if (result != INVALID_SET_FILE_POINTER && distanceHigh != nullptr) *distanceHigh = 0;
    return result;
}

BOOL OpenDevice::ioControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                           DWORD* returned) {
    if (!enter()) return FALSE;
    BOOL ok = FALSE;
    if (device_->driver.ioControl)
        ok = device_->driver.ioControl(context_, code, static_cast<PBYTE>(in), inSize,
                                       static_cast<PBYTE>(out), outSize, returned);
    else
        SetLastError(ERROR_NOT_SUPPORTED);
    std::unique_lock lock(device_->lock);
    leave(lock);
    return ok;
}

void OpenDevice::onHandleClosed() {
    std::unique_lock lock(device_->lock);
    handleClosed_ = true;
    if (driverClosed_) return;
    const bool callPreClose = !preClosed_ && !device_->removed && device_->driver.preClose;
    preClosed_ = true;
    // The close path counts as a call, so that a concurrent DeactivateDevice waits for it.
    ++inFlight_;
    ++device_->inFlight;
    if (callPreClose) {
        lock.unlock();
        device_->driver.preClose(context_);
        lock.lock();
    }
    leave(lock);
}

void OpenDevice::preCloseForRemoval() {
    std::unique_lock lock(device_->lock);
    if (preClosed_ || driverClosed_ || !device_->driver.preClose) return;
    preClosed_ = true;
    // A call on this handle like any other: a CloseHandle meanwhile leaves the Close to it.
    ++inFlight_;
    ++device_->inFlight;
    lock.unlock();
    device_->driver.preClose(context_);
    lock.lock();
    leave(lock);
}

void OpenDevice::closeForRemoval() {
    {
        std::lock_guard guard(device_->lock);
        if (driverClosed_) return;
        driverClosed_ = true;
    }
    device_->driver.close(context_);
}

}  // namespace ce::devices

#include "serial/com_device.h"

#include <poll.h>

#include <algorithm>
#include <cstring>

#include "serial/port_taps.h"

namespace ce::serial {
namespace {

// The edge events a line can fire; EV_RXCHAR and EV_ERR are levels, computed at each look.
constexpr DWORD kEdgeEvents =
    EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_RING | EV_POWER;

std::chrono::milliseconds ms(std::uint64_t count) {
    return std::chrono::milliseconds(count);
}

std::optional<TimePoint> earliest(std::optional<TimePoint> a, std::optional<TimePoint> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

DWORD fail(DWORD error) {
    SetLastError(error);
    return MAXDWORD;
}

BOOL failBool(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace

// ---- ComDevice ----

ComDevice* ComDevice::create(std::shared_ptr<Line> line, unsigned comNumber) {
    std::shared_ptr<ComDevice> device(new ComDevice(std::move(line), comNumber));
    device->self_ = device;
    device->line_->attach(device);
    device->setTap(enrolForTap(comNumber, device));
    return device.get();
}

void ComDevice::setTap(std::shared_ptr<host::serial::PortTap> tap) {
    std::lock_guard guard(lock_);
    tap_ = std::move(tap);
}

ComHandle* ComDevice::open(DWORD access) {
    {
        std::lock_guard guard(lock_);
        if (removed_) return SetLastError(ERROR_DEVICE_NOT_CONNECTED), nullptr;
        // A serial port serves one handle at a time, whatever the share mode asks for.
        if (held_) return SetLastError(ERROR_SHARING_VIOLATION), nullptr;
        held_ = true;
    }
    // The line may tell its far end of the open; no lock is held meanwhile.
    std::unique_ptr<LineSession> session = line_->open();
    std::lock_guard guard(lock_);
    if (!session) {
        held_ = false;
        return nullptr;
    }
    auto* handle = new ComHandle(shared_from_this(), std::move(session), access);
    handles_.push_back(handle);
    if (tap_) tap_->opened(number_);
    return handle;
}

void ComDevice::preDeinit() {
    std::lock_guard guard(lock_);
    removed_ = true;
    waiters_.notifyAll();
}

void ComDevice::deinit() {
    line_->attach({});
    withdrawFromTap(number_, this);
    std::shared_ptr<ComDevice> last = std::move(self_);
}

void ComDevice::lineChanged(DWORD edgeEvents) {
    std::lock_guard guard(lock_);
    addEdgesLocked(edgeEvents & kEdgeEvents);
    waiters_.notifyAll();
}

void ComDevice::addEdgesLocked(DWORD edgeEvents) {
    for (ComHandle* handle : handles_) handle->history_ |= edgeEvents & handle->mask_;
}

// ---- ComHandle ----

ComHandle::ComHandle(std::shared_ptr<ComDevice> device, std::unique_ptr<LineSession> session,
                     DWORD access)
    : device_(std::move(device)), session_(std::move(session)), access_(access) {}

bool ComHandle::usable() const {
    if (closing_) return SetLastError(ERROR_INVALID_HANDLE), false;
    if (device_->removed_) return SetLastError(ERROR_DEVICE_NOT_CONNECTED), false;
    return true;
}

DWORD ComHandle::read(void* buffer, DWORD count) {
    std::unique_lock lock(device_->lock_);
    if (!usable()) return MAXDWORD;
    if ((access_ & GENERIC_READ) == 0) return fail(ERROR_ACCESS_DENIED);
    const COMMTIMEOUTS t = timeouts_;
    const unsigned generation = readGeneration_;
    const TimePoint start = Clock::now();
    // MAXDWORD / 0 / 0: return at once with what is queued. MAXDWORD / MAXDWORD / c: return as
    // soon as one byte is there, waiting at most c ms for it.
    const bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                           t.ReadTotalTimeoutConstant == 0;
    const bool firstByte =
        t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
    std::optional<TimePoint> total;
    if (firstByte)
        total = start + ms(t.ReadTotalTimeoutConstant);
    else if (!immediate && (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0))
        total = start + ms(std::uint64_t{t.ReadTotalTimeoutMultiplier} * count +
                           t.ReadTotalTimeoutConstant);
    const bool hasInterval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;

    auto* bytes = static_cast<std::uint8_t*>(buffer);
    DWORD got = 0;
    std::optional<TimePoint> lastByte;
    while (got < count) {
        if (!usable()) return MAXDWORD;
        if (generation != readGeneration_) break;
        const std::size_t n = session_->read({bytes + got, count - got});
        if (n > 0) {
            if (device_->tap_)
                device_->tap_->bytes(device_->number_, host::serial::PortTap::Direction::Read,
                                     {bytes + got, n});
            got += static_cast<DWORD>(n);
            lastByte = Clock::now();
            continue;
        }
        if (immediate || (firstByte && got > 0) || session_->hungUp()) break;
        // The interval timer runs from the last byte received; the total one from the start.
        std::optional<TimePoint> until = total;
        if (hasInterval && lastByte) until = earliest(until, *lastByte + ms(t.ReadIntervalTimeout));
        if (until && Clock::now() >= *until) break;
        const std::optional<TimePoint> wakeAt = earliest(until, session_->arrivalOf(count - got));
        const short revents =
            device_->waiters_.wait(lock, session_->pollDescriptor(), POLLIN, wakeAt);
        session_->polled(revents);
    }
    return got;
}

DWORD ComHandle::write(const void* buffer, DWORD count) {
    std::unique_lock lock(device_->lock_);
    if (!usable()) return MAXDWORD;
    if ((access_ & GENERIC_WRITE) == 0) return fail(ERROR_ACCESS_DENIED);
    if (count == 0) return 0;
    const COMMTIMEOUTS t = timeouts_;
    std::optional<TimePoint> deadline;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
        deadline = Clock::now() + ms(std::uint64_t{t.WriteTotalTimeoutMultiplier} * count +
                                     t.WriteTotalTimeoutConstant);

    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const unsigned generation = writeGeneration_;
    DWORD sent = 0;
    TimePoint leftBy = Clock::now();
    while (sent < count) {
        if (!usable()) return MAXDWORD;
        if (generation != writeGeneration_) return sent;
        TimePoint last = leftBy;
        const auto accepted = session_->write({bytes + sent, count - sent}, deadline, last);
        if (!accepted) return MAXDWORD;
        if (*accepted > 0) {
            if (device_->tap_)
                device_->tap_->bytes(device_->number_, host::serial::PortTap::Direction::Written,
                                     {bytes + sent, *accepted});
            sent += static_cast<DWORD>(*accepted);
            leftBy = last;
            continue;
        }
        if (deadline && Clock::now() >= *deadline) break;
        const short revents =
            device_->waiters_.wait(lock, session_->pollDescriptor(), POLLOUT, deadline);
        session_->polled(revents);
    }
    // A paced line takes its time: the write returns once its bytes have left.
    while (Clock::now() < leftBy) {
        if (!usable()) return MAXDWORD;
        device_->waiters_.wait(lock, -1, 0, leftBy);
    }
    if (sent == count) {
        device_->addEdgesLocked(EV_TXEMPTY);
        device_->waiters_.notifyAll();
    }
    return sent;
}

BOOL ComHandle::waitCommEvent(DWORD* events) {
    std::unique_lock lock(device_->lock_);
    if (!usable()) return FALSE;
    if (waitPending_) return failBool(ERROR_INVALID_PARAMETER);
    if (mask_ == 0) return failBool(ERROR_INVALID_PARAMETER);
    waitPending_ = true;
    const unsigned generation = maskGeneration_;
    BOOL ok = TRUE;
    *events = 0;
    for (;;) {
        if (!usable()) {
            ok = FALSE;
            break;
        }
        // SetCommMask ends a pending wait with no event.
        if (generation != maskGeneration_) break;
        DWORD found = history_ & mask_;
        if ((mask_ & EV_RXCHAR) != 0 && session_->queued() > 0) found |= EV_RXCHAR;
        if ((mask_ & EV_ERR) != 0 && session_->pendingErrors() != 0) found |= EV_ERR;
        if (found != 0) {
            history_ &= ~found;
            *events = found;
            break;
        }
        // After a hang-up nothing will come: report no event, so that the caller pauses rather
        // than treating the wait as failed and trying again at once.
        if (session_->hungUp()) break;
        // Queued bytes keep a tty readable: look at the descriptor's input only when asked to.
        // A hang-up is reported whatever the poll events are.
        const bool wantsBytes = (mask_ & EV_RXCHAR) != 0;
        const short revents =
            device_->waiters_.wait(lock, session_->pollDescriptor(), wantsBytes ? POLLIN : 0,
                                   wantsBytes ? session_->arrivalOf(1) : std::nullopt);
        session_->polled(revents);
    }
    waitPending_ = false;
    return ok;
}

BOOL ComHandle::setMask(DWORD mask) {
    std::lock_guard guard(device_->lock_);
    if (!usable()) return FALSE;
    mask_ = mask;
    history_ &= mask;
    ++maskGeneration_;
    device_->waiters_.notifyAll();
    return TRUE;
}

BOOL ComHandle::ioControl(DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                          DWORD* returned) {
    const auto needs = [&](const void* buffer, DWORD size, std::size_t wanted) {
        return buffer != nullptr && size >= wanted;
    };
    DWORD produced = 0;
    BOOL ok = FALSE;
    switch (code) {
        case IOCTL_SERIAL_WAIT_ON_MASK: {
            if (!needs(out, outSize, sizeof(DWORD))) return failBool(ERROR_INVALID_PARAMETER);
            DWORD events = 0;
            ok = waitCommEvent(&events);
            if (ok) {
                std::memcpy(out, &events, sizeof events);
                produced = sizeof events;
            }
            break;
        }
        case IOCTL_SERIAL_SET_WAIT_MASK: {
            if (!needs(in, inSize, sizeof(DWORD))) return failBool(ERROR_INVALID_PARAMETER);
            DWORD mask;
            std::memcpy(&mask, in, sizeof mask);
            ok = setMask(mask);
            break;
        }
        case IOCTL_SERIAL_GET_WAIT_MASK: {
            if (!needs(out, outSize, sizeof(DWORD))) return failBool(ERROR_INVALID_PARAMETER);
            std::lock_guard guard(device_->lock_);
            ok = usable();
            if (ok) {
                std::memcpy(out, &mask_, sizeof mask_);
                produced = sizeof mask_;
            }
            break;
        }
        case IOCTL_SERIAL_GET_COMMSTATUS: {
            if (!needs(out, outSize, sizeof(SERIAL_DEV_STATUS)))
                return failBool(ERROR_INVALID_PARAMETER);
            std::lock_guard guard(device_->lock_);
            ok = usable();
            if (ok) {
                SERIAL_DEV_STATUS status{};
                status.Errors = session_->takeErrors();
                status.ComStat.cbInQue = session_->queued();
                std::memcpy(out, &status, sizeof status);
                produced = sizeof status;
            }
            break;
        }
        case IOCTL_SERIAL_PURGE: {
            DWORD flags = 0;
            if (!needs(in, inSize, sizeof flags)) return failBool(ERROR_INVALID_PARAMETER);
            std::memcpy(&flags, in, sizeof flags);
            if ((flags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT}) != 0)
                return failBool(ERROR_NOT_SUPPORTED);
            std::lock_guard guard(device_->lock_);
            ok = usable();
            if (ok) {
                if ((flags & PURGE_RXABORT) != 0) ++readGeneration_;
                if ((flags & PURGE_TXABORT) != 0) ++writeGeneration_;
                device_->waiters_.notifyAll();
            }
            break;
        }
        case IOCTL_SERIAL_GET_TIMEOUTS: {
            if (!needs(out, outSize, sizeof(COMMTIMEOUTS)))
                return failBool(ERROR_INVALID_PARAMETER);
            std::lock_guard guard(device_->lock_);
            ok = usable();
            if (ok) {
                std::memcpy(out, &timeouts_, sizeof timeouts_);
                produced = sizeof timeouts_;
            }
            break;
        }
        case IOCTL_SERIAL_SET_TIMEOUTS: {
            if (!needs(in, inSize, sizeof(COMMTIMEOUTS))) return failBool(ERROR_INVALID_PARAMETER);
            std::lock_guard guard(device_->lock_);
            ok = usable();
            if (ok) std::memcpy(&timeouts_, in, sizeof timeouts_);
            break;
        }
        default:
            return failBool(ERROR_NOT_SUPPORTED);
    }
    if (returned != nullptr) *returned = produced;
    return ok;
}

void ComHandle::preClose() {
    {
        std::lock_guard guard(device_->lock_);
        if (closing_) return;
        closing_ = true;
        device_->held_ = false;
        if (device_->tap_) device_->tap_->closed(device_->number_);
        device_->waiters_.notifyAll();
        if (released_) return;
        released_ = true;
    }
    session_->release();
}

void ComHandle::close() {
    preClose();
    {
        std::lock_guard guard(device_->lock_);
        std::erase(device_->handles_, this);
    }
    delete this;
}

}  // namespace ce::serial

// A serial line inside the process: the COM driver's session at one end, a device model at the
// other (host::serial::SimulatedLine).
#include <host/serial.h>

#include <condition_variable>
#include <mutex>

#include "serial/com_driver.h"
#include "serial/timed_queue.h"

namespace ce::serial {
namespace {

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_POWER;

std::chrono::nanoseconds byteTimeFor(std::uint32_t bitsPerSecond) {
    // Ten bit times per byte: start bit, eight data bits, stop bit.
    if (bitsPerSecond == 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(10'000'000'000LL / bitsPerSecond);
}

class SimulatedLineImpl final : public host::serial::SimulatedLine,
                                public Line,
                                public std::enable_shared_from_this<SimulatedLineImpl> {
  public:
    explicit SimulatedLineImpl(std::uint32_t bitsPerSecond)
        : toDevice_(byteTimeFor(bitsPerSecond)), toPeer_(byteTimeFor(bitsPerSecond)) {}

    // ---- peer end ----

    void write(std::span<const std::uint8_t> bytes) override {
        if (bytes.empty()) return;
        {
            std::lock_guard guard(lock_);
            TimePoint ignored;
            toDevice_.push(bytes, Clock::now(), std::nullopt, ignored);
        }
        tellDevice(0);
    }

    std::size_t read(std::span<std::uint8_t> out, std::chrono::milliseconds timeout,
                     std::stop_token stop) override {
        const TimePoint deadline = Clock::now() + timeout;
        std::unique_lock lock(lock_);
        for (;;) {
            const TimePoint now = Clock::now();
            if (const std::size_t n = toPeer_.pop(out, now); n > 0 || out.empty()) return n;
            if (stop.stop_requested() || now >= deadline) return 0;
            TimePoint until = deadline;
            if (const auto arrival = toPeer_.arrivalOf(1, now)) until = std::min(until, *arrival);
            // Bytes queued during the wait arrive at a time `until` did not know of: wake for
            // them too, so that the loop computes their arrival.
            const std::size_t queued = toPeer_.size();
            ++peerWaiting_;
            if (queued == 0) caughtUp_.notify_all();
            peerWake_.wait_until(lock, stop, until, [&] {
                return toPeer_.size() != queued || toPeer_.arrived(Clock::now()) > 0;
            });
            --peerWaiting_;
        }
    }

    std::size_t pendingForPeer() const override {
        std::lock_guard guard(lock_);
        return toPeer_.size();
    }

    bool waitForPeerCaughtUp(std::chrono::milliseconds timeout) const override {
        std::unique_lock lock(lock_);
        const auto caughtUp = [&] { return toPeer_.size() == 0 && peerWaiting_ > 0; };
        caughtUp_.wait_for(lock, timeout, [&] { return removed_ || caughtUp(); });
        return caughtUp();
    }

    void injectErrors(std::uint32_t ceBits) override {
        {
            std::lock_guard guard(lock_);
            errors_ |= ceBits;
        }
        tellDevice(0);
    }

    void raiseEvents(std::uint32_t evBits) override { tellDevice(evBits & kModemEvents); }

    void setOpenHandler(std::function<void(bool)> handler) override {
        std::lock_guard guard(lock_);
        openHandler_ = std::move(handler);
    }

    bool isOpen() const override {
        std::lock_guard guard(lock_);
        return openCount_ > 0;
    }

    // ---- presence ----

    bool activate(unsigned comNumber) override {
        std::lock_guard guard(activationLock_);
        if (activation_) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return false;
        }
        activation_ = ComActivation::activate(comNumber, shared_from_this());
        if (activation_ == nullptr) return false;
        std::lock_guard state(lock_);
        removed_ = false;
        return true;
    }

    void deactivate() override {
        // The removal runs without the lock: it may call the open handler, which may ask this
        // line for its state.
        std::unique_ptr<ComActivation> ending;
        {
            std::lock_guard guard(activationLock_);
            ending = std::move(activation_);
        }
        if (ending == nullptr) return;
        ending.reset();
        {
            std::lock_guard guard(lock_);
            removed_ = true;
        }
        caughtUp_.notify_all();
    }

    unsigned activeNumber() const override {
        std::lock_guard guard(activationLock_);
        return activation_ ? activation_->number() : 0;
    }

    // ---- Line, for the COM driver ----

    void attach(std::weak_ptr<LineListener> listener) override {
        std::lock_guard guard(lock_);
        listener_ = std::move(listener);
    }

    std::unique_ptr<LineSession> open() override;

    // ---- used by the session, under the COM device's lock ----

    std::size_t takeForDevice(std::span<std::uint8_t> out) {
        std::lock_guard guard(lock_);
        return toDevice_.pop(out, Clock::now());
    }
    DWORD arrivedForDevice() {
        std::lock_guard guard(lock_);
        return static_cast<DWORD>(toDevice_.arrived(Clock::now()));
    }
    std::optional<TimePoint> deviceArrivalOf(std::size_t count) {
        std::lock_guard guard(lock_);
        return toDevice_.arrivalOf(count, Clock::now());
    }
    std::size_t sendToPeer(std::span<const std::uint8_t> bytes, std::optional<TimePoint> deadline,
                           TimePoint& leftBy) {
        std::size_t accepted;
        {
            std::lock_guard guard(lock_);
            accepted = toPeer_.push(bytes, Clock::now(), deadline, leftBy);
        }
        peerWake_.notify_all();
        return accepted;
    }
    DWORD errors(bool take) {
        std::lock_guard guard(lock_);
        const DWORD bits = errors_;
        if (take) errors_ = 0;
        return bits;
    }

    // The device end's open state, told to the handler in the order it changes.
    void openChanged(int delta) {
        std::lock_guard order(handlerOrder_);
        std::function<void(bool)> handler;
        bool changed;
        {
            std::lock_guard guard(lock_);
            const int before = openCount_;
            openCount_ += delta;
            changed = (before == 0) != (openCount_ == 0);
            handler = openHandler_;
        }
        if (changed && handler) handler(delta > 0);
    }

  private:
    // Called with no lock of the line held: the COM device takes its own lock.
    void tellDevice(DWORD edges) {
        std::shared_ptr<LineListener> listener;
        {
            std::lock_guard guard(lock_);
            listener = listener_.lock();
        }
        if (listener) listener->lineChanged(edges);
    }

    mutable std::mutex lock_;
    std::condition_variable_any peerWake_;
    // Told when the peer starts waiting for bytes with none queued, and at the removal.
    mutable std::condition_variable caughtUp_;
    int peerWaiting_ = 0;  // peer reads waiting for bytes
    bool removed_ = false;
    TimedQueue toDevice_;
    TimedQueue toPeer_;
    DWORD errors_ = 0;
    int openCount_ = 0;
    std::function<void(bool)> openHandler_;
    std::weak_ptr<LineListener> listener_;
    // Orders the open handler's calls; recursive so that a handler may open or close again.
    std::recursive_mutex handlerOrder_;
    mutable std::mutex activationLock_;
    std::unique_ptr<ComActivation> activation_;
};

class SimulatedSession final : public LineSession {
  public:
    explicit SimulatedSession(std::shared_ptr<SimulatedLineImpl> line) : line_(std::move(line)) {}

    std::size_t read(std::span<std::uint8_t> out) override { return line_->takeForDevice(out); }
    DWORD queued() override { return line_->arrivedForDevice(); }
    std::optional<std::size_t> write(std::span<const std::uint8_t> in,
                                     std::optional<TimePoint> deadline,
                                     TimePoint& leftBy) override {
        return line_->sendToPeer(in, deadline, leftBy);
    }
    DWORD pendingErrors() override { return line_->errors(false); }
    DWORD takeErrors() override { return line_->errors(true); }
    bool hungUp() override { return false; }
    std::optional<TimePoint> arrivalOf(std::size_t count) override {
        return line_->deviceArrivalOf(count);
    }
    int pollDescriptor() override { return -1; }
    void polled(short) override {}
    void release() override { line_->openChanged(-1); }

  private:
    const std::shared_ptr<SimulatedLineImpl> line_;
};

std::unique_ptr<LineSession> SimulatedLineImpl::open() {
    openChanged(+1);
    return std::make_unique<SimulatedSession>(shared_from_this());
}

}  // namespace
}  // namespace ce::serial

std::shared_ptr<host::serial::SimulatedLine> host::serial::createSimulatedLine(
    std::uint32_t bitsPerSecond) {
    return std::make_shared<ce::serial::SimulatedLineImpl>(bitsPerSecond);
}

#include "peripheral/peripheral.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "peripheral/active_com_ports.h"

namespace sim {
namespace {

constexpr unsigned kPowerPortNumber = 1;

PeripheralProfile withPort(const PeripheralOptions& options) {
    PeripheralProfile profile;
    profile.port = options;
    return profile;
}

}  // namespace

Peripheral::Peripheral(PeripheralProfile profile)
    : profile_(std::move(profile)),
      responder_(profile_.identity, profile_.file, profile_.unasked, profile_.faults,
                 {[this](std::span<const std::uint8_t> bytes) { return sendBytes(bytes); },
                  [this] { vanishDataPort(); }}) {}

Peripheral::Peripheral(PeripheralOptions options) : Peripheral(withPort(options)) {}

Peripheral::~Peripheral() {
    stop();
}

void Peripheral::start() {
    if (powerLine_) throw std::logic_error("the peripheral is already started");
    activator_ = std::jthread([this](std::stop_token stop) { activateWhenDue(std::move(stop)); });
    powerLine_ = host::serial::createSimulatedLine(0);
    powerLine_->setOpenHandler([this](bool open) { powerChanged(open); });
    if (!powerLine_->activate(kPowerPortNumber)) {
        const DWORD error = GetLastError();
        stop();
        throw std::runtime_error("COM1: cannot be the peripheral's power port (error " +
                                 std::to_string(error) + "): it is already taken");
    }
}

void Peripheral::stop() {
    if (powerLine_) {
        // Removing the power port while it is held open powers the peripheral off through the
        // open handler, which takes the data port down with it.
        powerLine_->deactivate();
        powerLine_->setOpenHandler({});
    }
    if (activator_.joinable()) {
        activator_.request_stop();
        activator_.join();
    }
    std::unique_lock lock(mutex_);
    removeDepartingPort(lock);
}

void Peripheral::setFrameHandler(FrameHandler handler) {
    std::lock_guard guard(mutex_);
    frameHandler_ = std::move(handler);
}

bool Peripheral::isPowered() const {
    std::lock_guard guard(mutex_);
    return powered_;
}

unsigned Peripheral::powerCycles() const {
    std::lock_guard guard(mutex_);
    return powerCycles_;
}

unsigned Peripheral::dataPortNumber() const {
    std::lock_guard guard(mutex_);
    return dataPort_ && !dataPortVanished_ ? dataPort_->number() : 0;
}

unsigned Peripheral::waitForDataPort(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return dataPort_ && !dataPortVanished_; });
    return dataPort_ && !dataPortVanished_ ? dataPort_->number() : 0;
}

bool Peripheral::waitForDataPortRemoval(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return removals_ == departures_; });
}

std::string Peripheral::dataPortError() const {
    std::lock_guard guard(mutex_);
    return dataPortError_;
}

std::vector<Frame> Peripheral::receivedFrames() const {
    std::lock_guard guard(mutex_);
    return frames_;
}

bool Peripheral::waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
}

bool Peripheral::waitForSettled(std::chrono::milliseconds timeout) const {
    std::shared_ptr<host::serial::SimulatedLine> line;
    {
        std::lock_guard guard(mutex_);
        line = dataLine_;
    }
    // The port's reader handles each frame before it reads on.
    if (!line || line->waitForPeerCaughtUp(timeout)) return true;
    std::lock_guard guard(mutex_);
    return dataLine_ != line;
}

bool Peripheral::sendFrame(std::uint8_t type, std::span<const std::uint8_t> payload) {
    return sendBytes(encodeFrame(type, payload));
}

bool Peripheral::sendBytes(std::span<const std::uint8_t> bytes) {
    std::shared_ptr<host::serial::SimulatedLine> line;
    {
        std::lock_guard guard(mutex_);
        line = dataLine_;
    }
    if (!line) return false;
    line->write(bytes);
    return true;
}

void Peripheral::vanishDataPort() {
    std::shared_ptr<host::serial::SimulatedLine> line;
    {
        std::lock_guard guard(mutex_);
        line = std::move(dataLine_);
        if (dataPort_) dataPortVanished_ = true;
    }
    if (line) line->deactivate();
    changed_.notify_all();
}

// Runs on the thread that opens or closes "COM1:".
void Peripheral::powerChanged(bool on) {
    std::lock_guard power(powerLock_);
    const bool now = profile_.port.dataPort && profile_.port.dataPortDelay.count() <= 0;
    std::unique_ptr<DataPort> ending;
    {
        std::unique_lock lock(mutex_);
        // Every power-up brings a fresh port: one whose driver has not yet noticed the last
        // power-off goes now.
        if (on) removeDepartingPort(lock);
        powered_ = on;
        pending_.reset();
        if (on) {
            ++powerCycles_;
            dataPortError_.clear();
            if (profile_.port.dataPort && !now)
                pending_ = PendingActivation{
                    std::chrono::steady_clock::now() + profile_.port.dataPortDelay, powerCycles_};
        } else {
            const auto removalDelay = profile_.port.dataPortRemovalDelay;
            if (dataPort_ && !dataPortVanished_ && removalDelay.count() > 0) {
                departing_ = DepartingPort{std::move(dataPort_),
                                           std::chrono::steady_clock::now() + removalDelay};
                ++departures_;
            } else {
                ending = std::move(dataPort_);
            }
            dataPortVanished_ = false;
            dataLine_.reset();
        }
    }
    changed_.notify_all();
    // The port's reader thread may be waiting for mutex_ to record a frame: end it unlocked.
    ending.reset();
    if (!on) responder_.powerOff();
    if (on && now) activateDataPort();
}

void Peripheral::activateWhenDue(std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(mutex_);
    const auto removalDue = [&] { return departing_ ? departing_->due : Clock::time_point::max(); };
    while (!stop.stop_requested()) {
        const std::optional<PendingActivation> activation = pending_;
        const Clock::time_point removal = removalDue();
        const auto changed = [&] { return pending_ != activation || removalDue() != removal; };
        if (!activation && !departing_) {
            changed_.wait(lock, stop, changed);
            continue;
        }
        const Clock::time_point due = activation ? std::min(activation->due, removal) : removal;
        if (changed_.wait_until(lock, stop, due, changed) || stop.stop_requested()) continue;
        if (departing_ && removal == due) {
            removeDepartingPort(lock);
            continue;
        }
        lock.unlock();
        {
            std::lock_guard power(powerLock_);
            bool still;
            {
                std::lock_guard guard(mutex_);
                still = pending_ == activation;
                if (still) pending_.reset();
            }
            if (still) activateDataPort();
        }
        lock.lock();
    }
}

void Peripheral::removeDepartingPort(std::unique_lock<std::mutex>& lock) {
    if (!departing_) return;
    std::unique_ptr<DataPort> port = std::move(departing_->port);
    departing_.reset();
    lock.unlock();
    port.reset();
    lock.lock();
    ++removals_;
    changed_.notify_all();
}

// Called with powerLock_ held.
void Peripheral::activateDataPort() {
    const unsigned number = *profile_.port.dataPort == PeripheralOptions::kLowestFreePort
                                ? chooseDataPortNumber()
                                : *profile_.port.dataPort;
    if (number == 0) {
        std::lock_guard guard(mutex_);
        dataPortError_ = "no COM number from 2 to " + std::to_string(kMaxDataPortNumber) +
                         " is free for the data port";
        return;
    }
    auto port = DataPort::activate(number, profile_.port.dataBitRate,
                                   [this](const Frame& frame) { record(frame); });
    const DWORD error = port ? 0 : GetLastError();
    {
        std::lock_guard guard(mutex_);
        if (port) {
            dataLine_ = port->line();
            dataPort_ = std::move(port);
        } else {
            dataPortError_ = "COM" + std::to_string(number) +
                             ": cannot be the peripheral's data port (error " +
                             std::to_string(error) + ")";
        }
    }
    changed_.notify_all();
}

// A new adapter usually appears above the ports present, so the data port does too while the
// library can still find it there; 0 when every number it looks at is taken.
unsigned Peripheral::chooseDataPortNumber() const {
    const std::vector<unsigned> present = activeComNumbers();
    const unsigned above =
        present.empty() ? 2 : std::max(2u, *std::max_element(present.begin(), present.end()) + 1);
    if (above <= kMaxDataPortNumber) return above;
    for (unsigned number = 2; number <= kMaxDataPortNumber; ++number)
        if (std::find(present.begin(), present.end(), number) == present.end()) return number;
    return 0;
}

void Peripheral::record(const Frame& frame) {
    FrameHandler handler;
    {
        std::lock_guard guard(mutex_);
        // A departing port is still listed, but nothing behind it has power to listen.
        if (!powered_) return;
        frames_.push_back(frame);
        handler = frameHandler_;
    }
    changed_.notify_all();
    if (handler)
        handler(frame);
    else
        responder_.handle(frame);
}

}  // namespace sim

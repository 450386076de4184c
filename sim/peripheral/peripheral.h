// The snap-on peripheral as a device model.
//
// It owns the device behind "COM1:": while a handle on it is open, the peripheral is powered.
// A while after power-up (dataPortDelay) its data port comes up as a new COM device, listed in
// HKEY_LOCAL_MACHINE\Drivers\Active like any serial adapter; a while after power-off
// (dataPortRemovalDelay) the port goes away.
// Frames the library writes to the data port are decoded and recorded, and handed to a frame
// handler. Unless a test puts a handler of its own in its place, that is the peripheral's
// responder, which answers as its profile says.
#pragma once

#include <host/serial.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "peripheral/data_port.h"
#include "peripheral/frame.h"
#include "peripheral/profile.h"
#include "peripheral/responder.h"

namespace sim {

class Peripheral {
  public:
    // Called on the data port's reader thread with every frame received, after it is recorded.
    using FrameHandler = std::function<void(const Frame&)>;

    explicit Peripheral(PeripheralProfile profile);
    // The default profile with these port settings.
    explicit Peripheral(PeripheralOptions options = {});
    // Stops the peripheral (see stop()).
    ~Peripheral();
    Peripheral(const Peripheral&) = delete;
    Peripheral& operator=(const Peripheral&) = delete;

    // Makes "COM1:" the peripheral's power switch. Throws std::runtime_error when "COM1:" is
    // already taken. A peripheral is started once.
    void start();

    // Removes "COM1:" and the data port (handles on them fail from then on) and ends the
    // peripheral's threads. Safe to call more than once.
    void stop();

    // Puts a frame handler in the place of the responder; an empty one gives the place back.
    // It may call sendFrame().
    void setFrameHandler(FrameHandler handler);

    // Answers the library; faults and unasked messages go through it.
    Responder& responder() { return responder_; }
    const PeripheralProfile& profile() const { return profile_; }

    bool isPowered() const;
    // Number of power-ups so far.
    unsigned powerCycles() const;
    // The COM number of the data port while it is present and the peripheral powered, else 0.
    unsigned dataPortNumber() const;
    // Waits until the data port is present; its number, or 0 when `timeout` passed first.
    unsigned waitForDataPort(std::chrono::milliseconds timeout) const;
    // Waits until the data port of the last power-off has left Drivers\Active; false when
    // `timeout` passed first.
    bool waitForDataPortRemoval(std::chrono::milliseconds timeout) const;
    // Why the last attempt to bring up the data port failed; empty when it did not.
    std::string dataPortError() const;

    // Every frame received since start(), in order.
    std::vector<Frame> receivedFrames() const;
    // Waits until at least `count` frames have been received; false when `timeout` passed first.
    bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;
    // Waits until every byte the library has written to the data port so far has been received
    // and handled: its frames recorded, passed to the frame handler and answered. Bytes that a
    // port took with it when it went away count as handled. False when `timeout` passed first:
    // frames are then still in flight.
    bool waitForSettled(std::chrono::milliseconds timeout) const;

    // Sends a frame to the library on the data port. False when the port is not present.
    // Throws std::length_error for a payload of more than 255 bytes.
    bool sendFrame(std::uint8_t type, std::span<const std::uint8_t> payload);
    // Sends bytes as they stand. False when the port is not present.
    bool sendBytes(std::span<const std::uint8_t> bytes);

    // Takes the data port away while the peripheral stays powered, as when its link fails:
    // handles on it fail from then on, and it comes back only with the next power-up. May be
    // called from the frame handler.
    void vanishDataPort();

  private:
    // A power-up whose data port is still to come.
    struct PendingActivation {
        std::chrono::steady_clock::time_point due;
        unsigned powerCycle;
        bool operator==(const PendingActivation&) const = default;
    };

    // The data port of a power-off, still listed until its driver notices the power has gone.
    struct DepartingPort {
        std::unique_ptr<DataPort> port;
        std::chrono::steady_clock::time_point due;
    };

    void powerChanged(bool on);
    // The one thread that brings data ports up and takes departing ones away when due.
    void activateWhenDue(std::stop_token stop);
    // Takes the departing port, if any, away now. Called with `lock` on mutex_ held, which it
    // releases meanwhile: the port's reader may be waiting for mutex_.
    void removeDepartingPort(std::unique_lock<std::mutex>& lock);
    void activateDataPort();
    unsigned chooseDataPortNumber() const;
    void record(const Frame& frame);

    const PeripheralProfile profile_;
    Responder responder_;
    std::shared_ptr<host::serial::SimulatedLine> powerLine_;

    // Orders power changes against a delayed activation, so that a port never comes up after
    // the power-off that should have prevented it. Taken before mutex_, and never by the data
    // port's reader thread, which power-off waits for.
    std::mutex powerLock_;

    mutable std::mutex mutex_;
    mutable std::condition_variable_any changed_;
    bool powered_ = false;
    unsigned powerCycles_ = 0;
    std::optional<PendingActivation> pending_;
    std::unique_ptr<DataPort> dataPort_;
    std::optional<DepartingPort> departing_;
    unsigned departures_ = 0;        // power-offs that left a departing port
    unsigned removals_ = 0;          // departing ports taken away since
    bool dataPortVanished_ = false;  // dataPort_ stays until power-off: its thread may be ours
    std::shared_ptr<host::serial::SimulatedLine> dataLine_;
    std::string dataPortError_;
    std::vector<Frame> frames_;
    FrameHandler frameHandler_;

    std::jthread activator_;
};

}  // namespace sim

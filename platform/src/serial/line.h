// What the COM driver runs over: a line (simulated or a host tty) and the session that one open
// handle has on it. Sessions never block; the COM driver does all the waiting (com_device.cpp).
#pragma once

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace ce::serial {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// Told by a line, with no line lock held, that something a blocked call may wait for changed:
// bytes arrived, errors are pending, or the edge events given fired.
class LineListener {
  public:
    virtual ~LineListener() = default;
    virtual void lineChanged(DWORD edgeEvents) = 0;
};

// One open handle's use of a line. The COM driver calls these with its device lock held.
class LineSession {
  public:
    virtual ~LineSession() = default;

    // Takes the bytes that have arrived, up to out.size().
    virtual std::size_t read(std::span<std::uint8_t> out) = 0;
    // Bytes that have arrived and wait to be read.
    virtual DWORD queued() = 0;
    // Takes bytes to send now. A paced line takes only those that leave by the deadline, and
    // sets leftBy to the time its last accepted byte has left. nullopt (last error set) when the
    // line failed.
    virtual std::optional<std::size_t> write(std::span<const std::uint8_t> in,
                                             std::optional<TimePoint> deadline,
                                             TimePoint& leftBy) = 0;
    virtual DWORD pendingErrors() = 0;
    virtual DWORD takeErrors() = 0;
    // The far end has gone for good (a tty's hang-up): nothing will arrive any more.
    virtual bool hungUp() = 0;
    // On a paced line with bytes in flight: when `count` more bytes (or all of them, if fewer
    // are in flight) will have arrived.
    virtual std::optional<TimePoint> arrivalOf(std::size_t count) = 0;
    // The descriptor a blocked call adds to its poll set, -1 for none; and what poll reported.
    virtual int pollDescriptor() = 0;
    virtual void polled(short revents) = 0;
    // The handle was closed: the far end may learn that the device end is no longer open.
    // Called once, before the session is destroyed.
    virtual void release() = 0;
};

class Line {
  public:
    virtual ~Line() = default;
    // Sets (or, with an empty pointer, clears) the listener of the COM device serving the line.
    virtual void attach(std::weak_ptr<LineListener> listener) = 0;
    // A session for a new open handle; null, with the last error set, when the line cannot be
    // opened.
    virtual std::unique_ptr<LineSession> open() = 0;
};

}  // namespace ce::serial

// The bytes crossing a simulated line in one direction. On a paced line each byte takes one
// byte time and bytes leave one after another, so byte k of a burst arrives k + 1 byte times
// after the line was free to send it; an unpaced line delivers at once.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "serial/line.h"

namespace ce::serial {

class TimedQueue {
  public:
    explicit TimedQueue(std::chrono::nanoseconds byteTime) : byteTime_(byteTime) {}

    // Queues what can leave by the deadline (all of it without one) and returns how many
    // bytes that is; leftBy is set to when the last of them has arrived.
    std::size_t push(std::span<const std::uint8_t> bytes, TimePoint now,
                     std::optional<TimePoint> deadline, TimePoint& leftBy);
    // Takes up to out.size() of the bytes that have arrived by now.
    std::size_t pop(std::span<std::uint8_t> out, TimePoint now);
    std::size_t arrived(TimePoint now) const;
    // Bytes queued, arrived or still in flight.
    std::size_t size() const { return size_; }
    // When `count` more bytes (all in flight, if fewer) will have arrived; nullopt when nothing
    // is in flight.
    std::optional<TimePoint> arrivalOf(std::size_t count, TimePoint now) const;

  private:
    struct Burst {
        TimePoint start;  // byte i arrives at start + (i + 1) byte times
        std::vector<std::uint8_t> bytes;
        std::size_t taken = 0;
    };
    std::size_t arrivedIn(const Burst& burst, TimePoint now) const;

    const std::chrono::nanoseconds byteTime_;
    std::deque<Burst> bursts_;
    std::size_t size_ = 0;
    TimePoint busyUntil_{};
};

}  // namespace ce::serial

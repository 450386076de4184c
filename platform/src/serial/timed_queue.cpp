#include "serial/timed_queue.h"

#include <algorithm>
#include <cstring>

namespace ce::serial {

std::size_t TimedQueue::push(std::span<const std::uint8_t> bytes, TimePoint now,
                             std::optional<TimePoint> deadline, TimePoint& leftBy) {
    const TimePoint start = std::max(now, busyUntil_);
    std::size_t count = bytes.size();
    if (byteTime_.count() > 0 && deadline) {
        const auto room = *deadline > start ? (*deadline - start) / byteTime_ : 0;
        count = std::min<std::size_t>(count, static_cast<std::size_t>(room));
    }
    if (count == 0) {
        leftBy = std::max(now, busyUntil_);
        return 0;
    }
    bursts_.push_back({start, {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count)}});
    size_ += count;
    busyUntil_ = start + byteTime_ * static_cast<std::int64_t>(count);
    leftBy = busyUntil_;
    return count;
}

std::size_t TimedQueue::arrivedIn(const Burst& burst, TimePoint now) const {
    const std::size_t left = burst.bytes.size() - burst.taken;
    if (byteTime_.count() == 0) return left;
    if (now <= burst.start) return 0;
    const auto done = static_cast<std::size_t>((now - burst.start) / byteTime_);
    return done <= burst.taken ? 0 : std::min(left, done - burst.taken);
}

std::size_t TimedQueue::pop(std::span<std::uint8_t> out, TimePoint now) {
    std::size_t copied = 0;
    while (copied < out.size() && !bursts_.empty()) {
        Burst& burst = bursts_.front();
        const std::size_t n = std::min(out.size() - copied, arrivedIn(burst, now));
        if (n == 0) break;
        std::memcpy(out.data() + copied, burst.bytes.data() + burst.taken, n);
        burst.taken += n;
        copied += n;
        size_ -= n;
        if (burst.taken == burst.bytes.size()) bursts_.pop_front();
    }
    return copied;
}

std::size_t TimedQueue::arrived(TimePoint now) const {
    std::size_t total = 0;
    for (const Burst& burst : bursts_) {
        const std::size_t n = arrivedIn(burst, now);
        total += n;
        // Bursts arrive in order: one still in flight holds back the ones behind it.
        if (n < burst.bytes.size() - burst.taken) break;
    }
    return total;
}

std::optional<TimePoint> TimedQueue::arrivalOf(std::size_t count, TimePoint now) const {
    if (byteTime_.count() == 0 || bursts_.empty() || count == 0) return std::nullopt;
    std::size_t waiting = 0;
    std::optional<TimePoint> at;
    for (const Burst& burst : bursts_) {
        const std::size_t ready = arrivedIn(burst, now);
        const std::size_t first = burst.taken + ready;  // first byte still in flight
        if (first == burst.bytes.size()) continue;
        const std::size_t inFlight = burst.bytes.size() - first;
        const std::size_t need = std::min(inFlight, count - waiting);
        at = burst.start + byteTime_ * static_cast<std::int64_t>(first + need);
        waiting += need;
        if (waiting == count) break;
    }
    return at;
}

}  // namespace ce::serial

// When the library reported what: every status text and every state it hands to the
// application's handlers, stamped on arrival. The benchmarks find the moments of an open or a
// download in it, as an application would see them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kest_bench {

using Clock = std::chrono::steady_clock;

class EventTimeline {
  public:
    // The one timeline of the process; the first call registers the library's handlers.
    static EventTimeline& instance();

    void clear();

    // The first status text after `after` that the predicate accepts.
    std::optional<Clock::time_point> status(const std::function<bool(std::string_view)>& accept,
                                            Clock::time_point after = {}) const;
    std::optional<Clock::time_point> status(std::string_view text,
                                            Clock::time_point after = {}) const;
    // The first report of `state` after `after`.
    std::optional<Clock::time_point> state(int state, Clock::time_point after = {}) const;

    // Waits up to `timeout` for such a status text or state; its time, or none.
    std::optional<Clock::time_point> awaitStatus(std::string_view text, Clock::time_point after,
                                                 std::chrono::milliseconds timeout);
    std::optional<Clock::time_point> awaitState(int state, Clock::time_point after,
                                                std::chrono::milliseconds timeout);

  private:
    struct Event {
        Clock::time_point at;
        int state;  // 0 for a status text
        std::string text;
    };

    EventTimeline();
    static void onStatus(const char* text);
    static void onState(int state);
    void add(int state, const char* text);
    std::optional<Clock::time_point> find(const std::function<bool(const Event&)>& accept,
                                          Clock::time_point after) const;
    std::optional<Clock::time_point> await(const std::function<bool(const Event&)>& accept,
                                           Clock::time_point after,
                                           std::chrono::milliseconds timeout);

    mutable std::mutex mutex_;
    std::condition_variable added_;
    std::vector<Event> events_;
};

}  // namespace kest_bench

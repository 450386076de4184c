#include "event_timeline.h"

#include <kest.h>

namespace kest_bench {

EventTimeline& EventTimeline::instance() {
    static EventTimeline timeline;
    return timeline;
}

EventTimeline::EventTimeline() {
    events_.reserve(4096);
    KEST_AddStatusMessageHandler(&EventTimeline::onStatus);
    KEST_AddStateChangeHandler(&EventTimeline::onState);
}

void EventTimeline::onStatus(const char* text) {
    instance().add(0, text);
}

void EventTimeline::onState(int state) {
    instance().add(state, "");
}

void EventTimeline::add(int state, const char* text) {
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard lock(mutex_);
        events_.push_back({now, state, text});
    }
    added_.notify_all();
}

void EventTimeline::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

std::optional<Clock::time_point> EventTimeline::find(
    const std::function<bool(const Event&)>& accept, Clock::time_point after) const {
    for (const Event& event : events_) {
        if (event.at > after && accept(event)) return event.at;
    }
    return std::nullopt;
}

std::optional<Clock::time_point> EventTimeline::status(
    const std::function<bool(std::string_view)>& accept, Clock::time_point after) const {
    std::lock_guard lock(mutex_);
    return find([&](const Event& event) { return event.state == 0 && accept(event.text); }, after);
}

std::optional<Clock::time_point> EventTimeline::status(std::string_view text,
                                                       Clock::time_point after) const {
    return status([text](std::string_view line) { return line == text; }, after);
}

std::optional<Clock::time_point> EventTimeline::state(int state, Clock::time_point after) const {
    std::lock_guard lock(mutex_);
    return find([state](const Event& event) { return event.state == state; }, after);
}

std::optional<Clock::time_point> EventTimeline::await(
    const std::function<bool(const Event&)>& accept, Clock::time_point after,
    std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<Clock::time_point> found;
    added_.wait_for(lock, timeout, [&] { return (found = find(accept, after)).has_value(); });
    return found;
}

std::optional<Clock::time_point> EventTimeline::awaitStatus(std::string_view text,
                                                            Clock::time_point after,
                                                            std::chrono::milliseconds timeout) {
    return await([text](const Event& event) { return event.state == 0 && event.text == text; },
                 after, timeout);
}

std::optional<Clock::time_point> EventTimeline::awaitState(int state, Clock::time_point after,
                                                           std::chrono::milliseconds timeout) {
    return await([state](const Event& event) { return event.state == state; }, after, timeout);
}

}  // namespace kest_bench

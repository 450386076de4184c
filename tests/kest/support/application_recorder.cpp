#include "application_recorder.h"

#include <kest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace kest_test {
namespace {

// The handlers are plain functions, so what they record lives here.
struct Record {
    std::mutex lock;
    std::condition_variable changed;
    bool active = false;
    std::vector<std::string> statuses;
    std::vector<std::chrono::steady_clock::time_point> statusTimes;  // when each status came
    std::vector<int> states;
    std::function<void(const std::string&)> statusReaction;
    std::function<void(int)> stateReaction;
};

Record& record() {
    static auto* instance = new Record;  // handlers may still run while the process exits
    return *instance;
}

}  // namespace

ApplicationRecorder::ApplicationRecorder() {
    {
        std::lock_guard guard(record().lock);
        record().active = true;
        record().statuses.clear();
        record().statusTimes.clear();
        record().states.clear();
    }
    if (KEST_AddStatusMessageHandler(recordStatus) != KEST_OK ||
        KEST_AddStateChangeHandler(recordState) != KEST_OK) {
        throw std::logic_error("the library is not attached");
    }
}

ApplicationRecorder::~ApplicationRecorder() {
    KEST_RemoveStatusMessageHandler();
    KEST_RemoveStateChangeHandler();
    std::lock_guard guard(record().lock);
    record().active = false;
    record().statusReaction = nullptr;
    record().stateReaction = nullptr;
}

void ApplicationRecorder::recordStatus(const char* text) {
    std::function<void(const std::string&)> reaction;
    {
        std::lock_guard guard(record().lock);
        if (!record().active) return;
        record().statuses.emplace_back(text);
        record().statusTimes.push_back(std::chrono::steady_clock::now());
        record().changed.notify_all();
        reaction = record().statusReaction;
    }
    if (reaction) reaction(text);
}

void ApplicationRecorder::recordState(int state) {
    std::function<void(int)> reaction;
    {
        std::lock_guard guard(record().lock);
        if (!record().active) return;
        record().states.push_back(state);
        record().changed.notify_all();
        reaction = record().stateReaction;
    }
    if (reaction) reaction(state);
}

void ApplicationRecorder::onStatus(std::function<void(const std::string&)> reaction) {
    std::lock_guard guard(record().lock);
    record().statusReaction = std::move(reaction);
}

void ApplicationRecorder::onState(std::function<void(int)> reaction) {
    std::lock_guard guard(record().lock);
    record().stateReaction = std::move(reaction);
}

std::vector<std::string> ApplicationRecorder::statuses() const {
    std::lock_guard guard(record().lock);
    return record().statuses;
}

std::vector<int> ApplicationRecorder::states() const {
    std::lock_guard guard(record().lock);
    return record().states;
}

int ApplicationRecorder::statusCount(const std::string& text) const {
    std::lock_guard guard(record().lock);
    return static_cast<int>(std::count(record().statuses.begin(), record().statuses.end(), text));
}

void ApplicationRecorder::clear() {
    std::lock_guard guard(record().lock);
    record().statuses.clear();
    record().statusTimes.clear();
    record().states.clear();
}

std::optional<std::chrono::steady_clock::duration> ApplicationRecorder::timeBetween(
    const std::string& first, const std::string& next) const {
    std::lock_guard guard(record().lock);
    const auto& all = record().statuses;
    const auto from = std::find(all.begin(), all.end(), first);
    if (from == all.end()) return std::nullopt;
    const auto to = std::find(from, all.end(), next);
    if (to == all.end()) return std::nullopt;
    return record().statusTimes[to - all.begin()] - record().statusTimes[from - all.begin()];
}

bool ApplicationRecorder::waitForStatus(const std::string& text,
                                        std::chrono::milliseconds limit) const {
    std::unique_lock guard(record().lock);
    return record().changed.wait_for(guard, limit, [&] {
        const auto& all = record().statuses;
        return std::find(all.begin(), all.end(), text) != all.end();
    });
}

bool ApplicationRecorder::waitForState(int state, std::chrono::milliseconds limit) const {
    std::unique_lock guard(record().lock);
    return record().changed.wait_for(guard, limit, [&] {
        const auto& all = record().states;
        return std::find(all.begin(), all.end(), state) != all.end();
    });
}

}  // namespace kest_test

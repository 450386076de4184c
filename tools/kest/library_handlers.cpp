#include "library_handlers.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

#include "console.h"
#include "kest.h"

namespace kest_tool {
namespace {

// The reports of the state-change handler, numbered, with the number of the latest report of
// each state: a waiter sees whether a state was reported after it began to wait even when
// several reports came between two of its wake-ups. Never destroyed, like the console, for a
// handler still running at exit.
struct StateReports {
    std::mutex lock;
    std::condition_variable changed;
    std::uint64_t count = 0;
    std::map<int, std::uint64_t> latest;
};

StateReports& reports() {
    static StateReports* const instance = new StateReports;
    return *instance;
}

// The latest status texts, numbered from 0 since the start; never destroyed either.
struct StatusLog {
    static constexpr std::size_t kKept = 512;
    std::mutex lock;
    std::condition_variable changed;
    std::uint64_t count = 0;
    std::deque<std::string> latest;

    // Called with lock held.
    bool holds(const std::string& text, std::uint64_t mark) const {
        const std::uint64_t oldest = count - latest.size();
        const auto from =
            latest.begin() + static_cast<std::ptrdiff_t>(std::max(mark, oldest) - oldest);
        return std::find(from, latest.end(), text) != latest.end();
    }
};

StatusLog& statusLog() {
    static StatusLog* const instance = new StatusLog;
    return *instance;
}

void WINAPI onStatus(const char* text) {
    const std::string status = text ? text : "";
    Console::instance().status(status);
    StatusLog& log = statusLog();
    {
        std::lock_guard guard(log.lock);
        log.latest.push_back(status);
        if (log.latest.size() > StatusLog::kKept) log.latest.pop_front();
        ++log.count;
    }
    log.changed.notify_all();
}

void WINAPI onState(int state) {
    Console::instance().state(state);
    StateReports& r = reports();
    {
        std::lock_guard guard(r.lock);
        r.latest[state] = ++r.count;
    }
    r.changed.notify_all();
}

}  // namespace

bool connectLibraryHandlers() {
    return KEST_AddStatusMessageHandler(onStatus) == KEST_OK &&
           KEST_AddStateChangeHandler(onState) == KEST_OK;
}

void disconnectLibraryHandlers() {
    KEST_RemoveStateChangeHandler();
    KEST_RemoveStatusMessageHandler();
}

bool waitForState(int state, std::chrono::milliseconds timeout) {
    StateReports& r = reports();
    std::unique_lock lock(r.lock);
    const std::uint64_t since = r.count;
    if (KEST_GetState() == state) return true;
    return r.changed.wait_for(lock, timeout, [&] {
        const auto it = r.latest.find(state);
        return it != r.latest.end() && it->second > since;
    });
}

}  // namespace kest_tool

namespace kest_tool {

std::uint64_t statusMark() {
    StatusLog& log = statusLog();
    std::lock_guard guard(log.lock);
    return log.count;
}

std::vector<std::string> statusesSince(std::uint64_t mark) {
    StatusLog& log = statusLog();
    std::lock_guard guard(log.lock);
    const std::uint64_t oldest = log.count - log.latest.size();
    const std::uint64_t from = std::max(mark, oldest);
    return {log.latest.begin() + static_cast<std::ptrdiff_t>(from - oldest), log.latest.end()};
}

bool waitForStatus(const std::string& text, std::uint64_t mark, std::chrono::milliseconds timeout) {
    StatusLog& log = statusLog();
    std::unique_lock lock(log.lock);
    return log.changed.wait_for(lock, timeout, [&] { return log.holds(text, mark); });
}

}  // namespace kest_tool

#include "library_handlers.h"

#include <condition_variable>
#include <cstdint>
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

void WINAPI onStatus(const char* text) {
    Console::instance().status(text ? text : "");
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

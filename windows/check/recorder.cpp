#include "recorder.h"

#include <algorithm>

namespace wine_check {

// Recorders are globals that live as long as the process: the lock is never deleted.
Recorder::Recorder() {
    InitializeCriticalSection(&lock_);
}

void Recorder::addStatus(const char* text) {
    const std::string line(text);
    if (line == "StartMonitorThread()" || line == "monitor()") return;
    EnterCriticalSection(&lock_);
    statuses_.push_back(line);
    LeaveCriticalSection(&lock_);
    WakeAllConditionVariable(&changed_);
}

void Recorder::addState(int state) {
    EnterCriticalSection(&lock_);
    states_.push_back(state);
    LeaveCriticalSection(&lock_);
    WakeAllConditionVariable(&changed_);
}

void Recorder::clear() {
    EnterCriticalSection(&lock_);
    statuses_.clear();
    states_.clear();
    LeaveCriticalSection(&lock_);
}

std::vector<std::string> Recorder::statuses() const {
    EnterCriticalSection(&lock_);
    std::vector<std::string> copy = statuses_;
    LeaveCriticalSection(&lock_);
    return copy;
}

std::vector<int> Recorder::states() const {
    EnterCriticalSection(&lock_);
    std::vector<int> copy = states_;
    LeaveCriticalSection(&lock_);
    return copy;
}

int Recorder::count(const std::string& text, std::size_t from) const {
    const std::vector<std::string> all = statuses();
    if (from >= all.size()) return 0;
    return static_cast<int>(std::count(all.begin() + from, all.end(), text));
}

template <typename Found>
bool Recorder::waitUntil(DWORD timeoutMs, Found found) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    EnterCriticalSection(&lock_);
    bool result = found();
    while (!result) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        SleepConditionVariableCS(&changed_, &lock_, static_cast<DWORD>(deadline - now));
        result = found();
    }
    LeaveCriticalSection(&lock_);
    return result;
}

std::size_t Recorder::waitForStatus(const std::string& text, DWORD timeoutMs, std::size_t from) {
    std::size_t index = kNone;
    waitUntil(timeoutMs, [&] {
        for (std::size_t i = from; i < statuses_.size(); ++i) {
            if (statuses_[i] == text) {
                index = i;
                return true;
            }
        }
        return false;
    });
    return index;
}

bool Recorder::waitForState(int state, DWORD timeoutMs, std::size_t from) {
    return waitUntil(timeoutMs, [&] {
        return from < states_.size() &&
               std::find(states_.begin() + from, states_.end(), state) != states_.end();
    });
}

}  // namespace wine_check

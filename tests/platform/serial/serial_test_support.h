// Helpers shared by the serial tests: bounded waits and a COM handle's comm calls.
#pragma once

#include <windows.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace serial_test {

using namespace std::chrono_literals;

// Long enough never to fire on a healthy run; it only bounds a hang.
constexpr auto kBound = 5s;

template <class Pred>
bool eventually(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

inline HANDLE openCom(const char16_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

inline void setTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant,
                        DWORD writeMultiplier = 0, DWORD writeConstant = 0) {
    COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
    SetCommTimeouts(h, &t);
}

struct ReadResult {
    BOOL ok = FALSE;
    std::string bytes;
    DWORD error = 0;
};

inline ReadResult readFrom(HANDLE h, DWORD count) {
    std::string buffer(count, '\0');
    DWORD done = 0;
    ReadResult r;
    r.ok = ReadFile(h, buffer.data(), count, &done, nullptr);
    r.error = GetLastError();
    r.bytes = buffer.substr(0, done);
    return r;
}

struct WaitResult {
    BOOL ok = FALSE;
    DWORD events = 0;
    DWORD error = 0;
};

inline WaitResult waitEvent(HANDLE h) {
    WaitResult r;
    r.ok = WaitCommEvent(h, &r.events, nullptr);
    r.error = GetLastError();
    return r;
}

template <class F>
auto async(F&& f) {
    return std::async(std::launch::async, std::forward<F>(f));
}

template <class T>
bool ready(std::future<T>& f, std::chrono::milliseconds within = kBound) {
    return f.wait_for(within) == std::future_status::ready;
}

}  // namespace serial_test

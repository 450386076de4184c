// Kernel objects against the plain standard library: how long a set event takes to wake a
// waiting thread, and how fast WaitForMultipleObjects finds a signalled object among several.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Ping-pong between two threads: each round trip is two "set, then the other side wakes".
void EventWakeSubject(benchmark::State& state) {
    HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        for (;;) {
            WaitForSingleObject(ping, INFINITE);
            if (stop) return;
            SetEvent(pong);
        }
    });
    for (auto _ : state) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
    }
    stop = true;
    SetEvent(ping);
    peer.join();
    CloseHandle(ping);
    CloseHandle(pong);
}

// The same round trip with a mutex, two flags and a condition variable for each side.
struct Flag {
    std::mutex lock;
    std::condition_variable wake;
    bool set = false;
    void raise() {
        {
            std::lock_guard guard(lock);
            set = true;
        }
        wake.notify_one();
    }
    void await() {
        std::unique_lock guard(lock);
        wake.wait(guard, [&] { return set; });
        set = false;
    }
};

void EventWakeBaseline(benchmark::State& state) {
    Flag ping, pong;
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        for (;;) {
            ping.await();
            if (stop) return;
            pong.raise();
        }
    });
    for (auto _ : state) {
        ping.raise();
        pong.await();
    }
    stop = true;
    ping.raise();
    peer.join();
}

constexpr std::size_t kObjects = 8;

// One thread sets the last of eight auto-reset events and waits on all eight.
void WaitMultipleSubject(benchmark::State& state) {
    std::array<HANDLE, kObjects> events{};
    for (HANDLE& e : events) e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (auto _ : state) {
        SetEvent(events[kObjects - 1]);
        benchmark::DoNotOptimize(WaitForMultipleObjects(kObjects, events.data(), FALSE, INFINITE));
    }
    for (HANDLE e : events) CloseHandle(e);
}

void WaitMultipleBaseline(benchmark::State& state) {
    std::mutex lock;
    std::condition_variable wake;
    std::array<bool, kObjects> set{};
    for (auto _ : state) {
        {
            std::lock_guard guard(lock);
            set[kObjects - 1] = true;
        }
        wake.notify_one();
        std::unique_lock guard(lock);
        std::size_t found = 0;
        wake.wait(guard, [&] {
            for (found = 0; found < kObjects; ++found) {
                if (set[found]) return true;
            }
            return false;
        });
        set[found] = false;
        benchmark::DoNotOptimize(found);
    }
}

}  // namespace

BENCHMARK(EventWakeSubject)->Name("EventWake/subject")->UseRealTime();
BENCHMARK(EventWakeBaseline)->Name("EventWake/baseline")->UseRealTime();
BENCHMARK(WaitMultipleSubject)->Name("WaitForMultipleObjects/subject")->UseRealTime();
BENCHMARK(WaitMultipleBaseline)->Name("WaitForMultipleObjects/baseline")->UseRealTime();

// CPU time of the library's own threads (the manager thread and the monitor thread), as a share
// of one core:
//  - IdleClosed: 10 s with the library closed;
//  - IdleReady: 10 s open and ready, with nothing arriving on the data port;
//  - DownloadCpu: while a 64 KiB download runs over the 115200 bit/s data line.
#include <benchmark/benchmark.h>
#include <kest.h>

#include <cstdio>
#include <thread>

#include "peripheral_session.h"
#include "thread_cpu.h"

namespace kest_bench {
namespace {

constexpr std::chrono::seconds kIdleTime{10};
constexpr std::size_t kDownloadContent = 64 * 1024;
constexpr std::uint32_t kPacedRate = 115200;
constexpr std::chrono::milliseconds kDownloadStartWait{10000};
constexpr std::chrono::milliseconds kDownloadWait{30000};

struct CpuSample {
    Clock::time_point at;
    std::chrono::nanoseconds cpu;
};

CpuSample sampleLibraryCpu() {
    return {Clock::now(), cpuTime(libraryThreads())};
}

// Reports the share between two samples and returns the wall-clock time between them.
double report(const char* what, const CpuSample& from, const CpuSample& to, double goalPercent) {
    const std::chrono::nanoseconds cpu = to.cpu - from.cpu;
    const std::chrono::nanoseconds wall = to.at - from.at;
    std::printf(
        "Library threads' CPU, %s: %.3f ms over %.2f s = %.4f %% of one core (goal: under "
        "%g %%; %zu threads)\n",
        what, static_cast<double>(cpu.count()) / 1e6, static_cast<double>(wall.count()) / 1e9,
        percentOfOneCore(cpu, wall), goalPercent, libraryThreads().size());
    return std::chrono::duration<double>(wall).count();
}

double idleFor(const char* what) {
    const CpuSample from = sampleLibraryCpu();
    std::this_thread::sleep_for(kIdleTime);
    return report(what, from, sampleLibraryCpu(), 0.1);
}

void IdleClosed(benchmark::State& state) {
    PeripheralSession session(profileServing(kDownloadContent, kPacedRate));
    for (auto _ : state) state.SetIterationTime(idleFor("idle and closed"));
}

void IdleReady(benchmark::State& state) {
    PeripheralSession session(profileServing(kDownloadContent, kPacedRate));
    for (auto _ : state) {
        if (!session.closeAndForget() || KEST_Open(0, 0, 10) != KEST_OK) {
            state.SkipWithError("the library did not open");
            break;
        }
        state.SetIterationTime(idleFor("idle and ready"));
    }
}

// The open runs on a thread of its own, so that this one can take the samples at the moments the
// library reports the start and the end of the download.
void DownloadCpu(benchmark::State& state) {
    PeripheralSession session(profileServing(kDownloadContent, kPacedRate));
    for (auto _ : state) {
        if (!session.closeAndForget()) {
            state.SkipWithError("the library did not close");
            break;
        }
        const Clock::time_point asked = Clock::now();
        int opened = -1;
        std::thread open([&opened] { opened = KEST_Open(1, 1, 60); });
        const auto started =
            session.timeline().awaitStatus(kDownloadRequested, asked, kDownloadStartWait);
        const CpuSample from = sampleLibraryCpu();
        const auto ended =
            started ? session.timeline().awaitStatus(kFileCreated, *started, kDownloadWait)
                    : std::nullopt;
        const CpuSample to = sampleLibraryCpu();
        open.join();
        if (!ended || opened != KEST_OK || !session.downloadIntact()) {
            state.SkipWithError("the download did not complete intact");
            break;
        }
        std::printf("Paced download of %zu stream bytes at %u bit/s:\n", session.streamSize(),
                    kPacedRate);
        state.SetIterationTime(report("during the download", from, to, 1.0));
    }
}

}  // namespace
}  // namespace kest_bench

BENCHMARK(kest_bench::IdleClosed)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(kest_bench::IdleReady)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(kest_bench::DownloadCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

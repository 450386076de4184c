// Download throughput through the exports against the simulated peripheral, from the written
// FileDownloadRequest to the created file.
//
//  - PacedDownload: 8 KiB over the 115200 bit/s data line, against the bound that the wire format
//    and the peripheral's pacing (a block only after the acknowledgement of the one before) set.
//  - UnpacedDownload/subject: 64 KiB over an unpaced line; /baseline: the same frames pushed
//    through an unpaced simulated line and read at its device end in the library's 32-byte
//    reads, with nothing acknowledged: the line's raw rate for those bytes.
#include <benchmark/benchmark.h>
#include <host/serial.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "peripheral/download_plan.h"
#include "peripheral/frame.h"
#include "peripheral_session.h"
#include "wire_time.h"

namespace kest_bench {
namespace {

constexpr std::size_t kPacedContent = 8 * 1024;
constexpr std::uint32_t kPacedRate = 115200;
constexpr std::size_t kUnpacedContent = 64 * 1024;
constexpr unsigned kBaselineComNumber = 9;
constexpr DWORD kLibraryReadSize = 32;

double milliseconds(Seconds time) {
    return time.count() * 1e3;
}

double kibPerSecond(std::size_t bytes, Seconds time) {
    return static_cast<double>(bytes) / 1024.0 / time.count();
}

// The downloads of one session, each timed by its window; the mean and the slowest.
struct Downloads {
    Seconds total{0};
    Seconds slowest{0};
    int count = 0;
    Seconds mean() const { return count > 0 ? total / count : Seconds{0}; }
};

Downloads timeDownloads(benchmark::State& state, PeripheralSession& session) {
    Downloads downloads;
    for (auto _ : state) {
        const auto window = session.openWithDownload();
        if (!window) {
            state.SkipWithError("the download did not complete intact");
            break;
        }
        const Seconds took = window->length();
        state.SetIterationTime(took.count());
        downloads.total += took;
        downloads.slowest = std::max(downloads.slowest, took);
        ++downloads.count;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(downloads.count * session.streamSize()));
    return downloads;
}

void PacedDownload(benchmark::State& state) {
    PeripheralSession session(profileServing(kPacedContent, kPacedRate));
    const std::size_t stream = session.streamSize();
    const std::size_t perBlock = session.profile().file.blockSize;
    const Downloads downloads = timeDownloads(state, session);
    if (state.error_occurred()) return;

    const DownloadBytes bytes = downloadBytes(stream, perBlock);
    const Seconds bound = downloadBound(stream, perBlock, kPacedRate);
    const std::size_t pauses = downloadReadPauses(stream, perBlock);
    std::printf(
        "Paced download, %zu stream bytes in %zu blocks at %u bit/s:\n"
        "  bound   %8.1f ms  (%zu bytes from the peripheral, %zu acknowledgement bytes, "
        "%d bits a byte: %.1f KiB/s)\n"
        "  reached %8.1f ms  mean of %d, slowest %.1f ms: %.1f KiB/s\n"
        "  %.1f %% of the bound (mean), %.1f %% (slowest); the goal is at least 95 %%\n"
        "  of the difference, %zu read time-outs of %lld ms at bursts not a multiple of %zu "
        "bytes\n",
        stream, bytes.blocks, kPacedRate, milliseconds(bound), bytes.fromPeripheral,
        bytes.fromLibrary, kBitsPerByte, kibPerSecond(stream, bound),
        milliseconds(downloads.mean()), downloads.count, milliseconds(downloads.slowest),
        kibPerSecond(stream, downloads.mean()), 100.0 * bound / downloads.mean(),
        100.0 * bound / downloads.slowest, pauses,
        static_cast<long long>(kReadIntervalTimeout.count()), kReadSize);
}

void UnpacedDownloadSubject(benchmark::State& state) {
    PeripheralSession session(profileServing(kUnpacedContent, 0));
    const Downloads downloads = timeDownloads(state, session);
    if (state.error_occurred()) return;
    std::printf("Unpaced download, %zu stream bytes: %.2f ms mean of %d, %.0f KiB/s\n",
                session.streamSize(), milliseconds(downloads.mean()), downloads.count,
                kibPerSecond(session.streamSize(), downloads.mean()));
}

void UnpacedDownloadBaseline(benchmark::State& state) {
    const sim::PeripheralFile file = profileServing(kUnpacedContent, 0).file;
    sim::FaultSet noFaults;
    const sim::DownloadPlan plan(file, noFaults);
    std::vector<std::vector<std::uint8_t>> frames{sim::encodeFrame(0, plan.response())};
    for (const auto& block : plan.frames()) frames.push_back(sim::encodeFrame(0, block));
    std::size_t total = 0;
    for (const auto& frame : frames) total += frame.size();

    auto line = host::serial::createSimulatedLine();
    if (!line->activate(kBaselineComNumber)) {
        state.SkipWithError("COM9: could not be activated");
        return;
    }
    HANDLE port =
        CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    COMMTIMEOUTS timeouts{};  // no time-outs: a read returns once its buffer is full
    SetCommTimeouts(port, &timeouts);
    BYTE buffer[kLibraryReadSize];
    for (auto _ : state) {
        for (const auto& frame : frames) line->write(frame);
        for (std::size_t got = 0; got < total;) {
            DWORD read = 0;
            const auto want =
                static_cast<DWORD>(std::min<std::size_t>(kLibraryReadSize, total - got));
            if (!ReadFile(port, buffer, want, &read, nullptr) || read == 0) break;
            got += read;
        }
        benchmark::DoNotOptimize(buffer);
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * sim::transferStream(file).size()));
    CloseHandle(port);
    line->deactivate();
}

}  // namespace
}  // namespace kest_bench

BENCHMARK(kest_bench::PacedDownload)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(kest_bench::UnpacedDownloadSubject)
    ->Name("UnpacedDownload/subject")
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(kest_bench::UnpacedDownloadBaseline)
    ->Name("UnpacedDownload/baseline")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

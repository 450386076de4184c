// The time of KEST_Open with the version and the download requested, against the default
// peripheral (a 1000-byte file, its data port 50 ms after power-up, 115200 bit/s) whose data port
// leaves at once at power-off, so that the open after each close finds nothing to wait for; split
// into the waits the library's design imposes and the rest:
//  - the peripheral's port delay: from power-on until its data port is listed;
//  - the manager's pass timing: the pass that finds no data port yet is followed by the next
//    only after the manager's wait of up to a second, as nothing wakes it when a port appears;
//  - the monitor's idle wait: opening the data channel wakes the idle monitor thread before it
//    marks the channel open, so a monitor that wakes early sleeps up to another 500 ms;
//  - the line time: every byte of the requests, responses, blocks and acknowledgements at
//    10 bit times a byte (wire_time.h), where nothing else hides it;
//  - the read time-outs: the port's 3 ms pause that ends a read not filled (wire_time.h);
//  - the rest: hand-overs between the threads, the library's and the peripheral's processing
//    and the file write.
// The moments come from the library's status texts and the peripheral's port.
#include <benchmark/benchmark.h>
#include <kest.h>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <thread>
#include <utility>

#include "peripheral_session.h"
#include "wire_time.h"

namespace kest_bench {
namespace {

constexpr int kOpenTimeoutSeconds = 10;
constexpr std::chrono::seconds kPortWait{10};

struct Split {
    Seconds total{0};
    Seconds portDelay{0};
    Seconds passWait{0};
    Seconds monitorWait{0};
    Seconds line{0};
    Seconds readPauses{0};
    Seconds rest() const { return total - portDelay - passWait - monitorWait - line - readPauses; }

    Split& operator+=(const Split& other) {
        total += other.total;
        portDelay += other.portDelay;
        passWait += other.passWait;
        monitorWait += other.monitorWait;
        line += other.line;
        readPauses += other.readPauses;
        return *this;
    }
};

double ms(Seconds time) {
    return time.count() * 1e3;
}

void print(const char* label, const Split& split) {
    std::printf(
        "  %-8s %7.1f ms = port delay %5.1f + pass wait %6.1f + monitor idle wait %5.1f"
        " + line %5.1f + read time-outs %4.1f + rest %4.1f\n",
        label, ms(split.total), ms(split.portDelay), ms(split.passWait), ms(split.monitorWait),
        ms(split.line), ms(split.readPauses), ms(split.rest()));
}

std::optional<Split> timeOpen(PeripheralSession& session) {
    if (!session.closeAndForget()) return std::nullopt;
    std::optional<Clock::time_point> portListed;
    std::thread portWatch([&] {
        if (session.peripheral().waitForDataPort(kPortWait) != 0) portListed = Clock::now();
    });
    const Clock::time_point asked = Clock::now();
    const int result = KEST_Open(1, 1, kOpenTimeoutSeconds);
    const Clock::time_point returned = Clock::now();
    portWatch.join();
    if (result != KEST_OK || !session.downloadIntact() || !portListed) return std::nullopt;

    const EventTimeline& events = session.timeline();
    const auto poweringOn = events.status("Powering on KEST.", asked);
    const auto found = events.status(
        [](std::string_view line) { return line.starts_with("New COM port["); }, *portListed);
    if (!poweringOn || !found) return std::nullopt;
    const auto opened =
        events.status([](std::string_view line) { return line.ends_with(" opened."); }, *found);
    const auto monitorIn = events.status("Waiting for comm event ...", *found);
    const auto version =
        opened ? events.status("--- RX: VersionResponse Msg ---", *opened) : std::nullopt;
    const auto requested = version ? events.status(kDownloadRequested, *version) : std::nullopt;
    const auto created = requested ? events.status(kFileCreated, *requested) : std::nullopt;
    if (!monitorIn || !created) return std::nullopt;

    const std::uint32_t rate = session.profile().port.dataBitRate;
    Split split;
    split.total = returned - asked;
    split.portDelay = *portListed - *poweringOn;
    split.passWait = *found - *portListed;
    // The version exchange runs while the monitor may still sleep: its line time counts only
    // where it outlasts the monitor's wait. The read pause after the response is never hidden:
    // it runs from the monitor's first read of the response.
    split.monitorWait = std::max(Seconds{0}, Seconds(*monitorIn - *opened));
    const Seconds versionLine = lineTime(kVersionRequestFrame + kVersionResponseFrame, rate);
    const std::size_t stream = session.streamSize();
    const std::size_t perBlock = session.profile().file.blockSize;
    split.line = std::max(Seconds{0}, versionLine - split.monitorWait) +
                 lineTime(kFileDownloadRequestFrame, rate) + downloadBound(stream, perBlock, rate);
    const std::size_t pauses =
        (endsInReadPause(kVersionResponseFrame) ? 1 : 0) + downloadReadPauses(stream, perBlock);
    split.readPauses = Seconds(kReadIntervalTimeout) * static_cast<double>(pauses);
    return split;
}

void OpenTime(benchmark::State& state) {
    sim::PeripheralProfile profile;
    profile.port.dataPortRemovalDelay = std::chrono::milliseconds(0);
    PeripheralSession session{std::move(profile)};
    std::printf("KEST_Open(1, 1) against the default peripheral (%zu stream bytes):\n",
                session.streamSize());
    Split sum;
    int runs = 0;
    for (auto _ : state) {
        const auto split = timeOpen(session);
        if (!split) {
            state.SkipWithError("the open did not complete with its download");
            break;
        }
        state.SetIterationTime(split->total.count());
        char label[16];
        std::snprintf(label, sizeof label, "run %d", ++runs);
        print(label, *split);
        sum += *split;
    }
    if (runs == 0) return;
    Split mean;
    mean.total = sum.total / runs;
    mean.portDelay = sum.portDelay / runs;
    mean.passWait = sum.passWait / runs;
    mean.monitorWait = sum.monitorWait / runs;
    mean.line = sum.line / runs;
    mean.readPauses = sum.readPauses / runs;
    print("mean", mean);
}

}  // namespace
}  // namespace kest_bench

BENCHMARK(kest_bench::OpenTime)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

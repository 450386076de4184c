// Throughput of an unpaced simulated serial line against a pipe(2) pair in the same run. Each
// iteration sends one block through WriteFile to the line's peer, which echoes it back, and
// reads it again with ReadFile; the baseline sends the same block through a pipe to an echoing
// thread and reads it from a second pipe.
#include <benchmark/benchmark.h>
#include <host/registry.h>
#include <host/serial.h>
#include <unistd.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kBlock = 4096;

void SerialLineSubject(benchmark::State& state) {
    host::registry::reset();
    auto line = host::serial::createSimulatedLine();
    if (!line->activate(9)) {
        state.SkipWithError("COM9: could not be activated");
        return;
    }
    HANDLE port =
        CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    COMMTIMEOUTS timeouts{};  // no time-outs: a read returns once its buffer is full
    SetCommTimeouts(port, &timeouts);
    std::jthread echo([&](std::stop_token stop) {
        std::vector<std::uint8_t> buffer(kBlock);
        while (!stop.stop_requested()) {
            const std::size_t n = line->read(buffer, std::chrono::milliseconds(100), stop);
            if (n > 0) line->write({buffer.data(), n});
        }
    });
    std::vector<char> out(kBlock, 'a');
    std::vector<char> in(kBlock);
    for (auto _ : state) {
        DWORD done = 0;
        WriteFile(port, out.data(), kBlock, &done, nullptr);
        ReadFile(port, in.data(), kBlock, &done, nullptr);
        benchmark::DoNotOptimize(in.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
    echo.request_stop();
    echo.join();
    CloseHandle(port);
    line->deactivate();
}

void readFully(int fd, char* buffer, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd, buffer + got, count - got);
        if (n <= 0) return;
        got += static_cast<std::size_t>(n);
    }
}

void SerialLineBaseline(benchmark::State& state) {
    int toEcho[2];
    int fromEcho[2];
    if (pipe(toEcho) != 0 || pipe(fromEcho) != 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    std::thread echo([&] {
        std::vector<char> buffer(kBlock);
        for (;;) {
            const ssize_t n = ::read(toEcho[0], buffer.data(), buffer.size());
            if (n <= 0) return;
            if (::write(fromEcho[1], buffer.data(), static_cast<std::size_t>(n)) != n) return;
        }
    });
    std::vector<char> out(kBlock, 'a');
    std::vector<char> in(kBlock);
    for (auto _ : state) {
        if (::write(toEcho[1], out.data(), kBlock) != static_cast<ssize_t>(kBlock)) break;
        readFully(fromEcho[0], in.data(), kBlock);
        benchmark::DoNotOptimize(in.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
    ::close(toEcho[1]);
    echo.join();
    ::close(toEcho[0]);
    ::close(fromEcho[0]);
    ::close(fromEcho[1]);
}

}  // namespace

BENCHMARK(SerialLineSubject)->Name("SerialLine/subject")->UseRealTime();
BENCHMARK(SerialLineBaseline)->Name("SerialLine/baseline")->UseRealTime();

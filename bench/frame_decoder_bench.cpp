// The frame decoder's throughput on a byte stream such as the data port carries during a file
// download: mostly full file-data blocks, with version responses, events, acknowledgements and
// stray bytes between frames. The baseline walks the same stream by its length bytes and copies
// each frame into a Frame on the stack: the framing alone, without the per-byte state machine and
// the allocation of each frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "serial/frame.h"
#include "serial/frame_decoder.h"

namespace {

using kest::Frame;

std::vector<BYTE> mixedStream() {
    std::vector<BYTE> stream;
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<BYTE>(seed >> 16);
    };
    const auto frame = [&](BYTE code, int payloadLength) {
        stream.insert(stream.end(), {Frame::kStartByte, 0x00, static_cast<BYTE>(payloadLength)});
        stream.push_back(code);
        for (int i = 1; i < payloadLength; ++i) stream.push_back(next());
    };
    for (int round = 0; round < 512; ++round) {
        switch (round % 8) {
            case 0:
                frame(2, 21);  // VersionResponse
                break;
            case 3:
                frame(3, 5);  // Event
                break;
            case 5:
                stream.insert(stream.end(), {0x00, 0x55, 0xFF});  // noise between frames
                break;
            default:
                break;
        }
        frame(8, Frame::kMaxPayloadLength);  // FileData
        frame(9, 6);                         // DataResponse
    }
    return stream;
}

const std::vector<BYTE>& stream() {
    static const std::vector<BYTE> bytes = mixedStream();
    return bytes;
}

void FrameDecoderSubject(benchmark::State& state) {
    const std::vector<BYTE>& bytes = stream();
    std::int64_t frames = 0;
    for (auto _ : state) {
        kest::FrameDecoder decoder;
        for (BYTE b : bytes) {
            if (std::unique_ptr<Frame> frame = decoder.Push(b)) {
                benchmark::DoNotOptimize(frame->Bytes());
                ++frames;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
    state.counters["frames"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void FrameDecoderBaseline(benchmark::State& state) {
    const std::vector<BYTE>& bytes = stream();
    std::int64_t frames = 0;
    for (auto _ : state) {
        std::size_t at = 0;
        while (at + Frame::kHeaderLength <= bytes.size()) {
            if (bytes[at] != Frame::kStartByte) {
                ++at;
                continue;
            }
            const int length = bytes[at + 2];
            const Frame frame(bytes[at + 1], bytes.data() + at + Frame::kHeaderLength, length);
            benchmark::DoNotOptimize(frame.Bytes());
            ++frames;
            at += Frame::kHeaderLength + static_cast<std::size_t>(length);
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
    state.counters["frames"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

BENCHMARK(FrameDecoderSubject)->Name("FrameDecoder/subject");
BENCHMARK(FrameDecoderBaseline)->Name("FrameDecoder/baseline");

}  // namespace

#include "wire_time.h"

#include <algorithm>

namespace kest_bench {

Seconds lineTime(std::size_t bytes, std::uint32_t bitsPerSecond) {
    return Seconds(static_cast<double>(bytes * kBitsPerByte) / bitsPerSecond);
}

DownloadBytes downloadBytes(std::size_t streamSize, std::size_t bytesPerBlock) {
    DownloadBytes bytes;
    bytes.blocks = (streamSize + bytesPerBlock - 1) / bytesPerBlock;
    bytes.fromPeripheral =
        kFileDownloadResponseFrame + bytes.blocks * (kFrameHeader + kFileDataOverhead) + streamSize;
    bytes.fromLibrary = bytes.blocks * kDataResponseFrame;
    return bytes;
}

bool endsInReadPause(std::size_t burstBytes) {
    return burstBytes % kReadSize != 0;
}

std::size_t downloadReadPauses(std::size_t streamSize, std::size_t bytesPerBlock) {
    std::size_t pauses = 0;
    // The response and the first block come as one burst.
    std::size_t burst = kFileDownloadResponseFrame;
    for (std::size_t sent = 0; sent < streamSize; sent += bytesPerBlock) {
        burst += kFrameHeader + kFileDataOverhead + std::min(bytesPerBlock, streamSize - sent);
        if (endsInReadPause(burst)) ++pauses;
        burst = 0;
    }
    return pauses;
}

Seconds downloadBound(std::size_t streamSize, std::size_t bytesPerBlock,
                      std::uint32_t bitsPerSecond) {
    const DownloadBytes bytes = downloadBytes(streamSize, bytesPerBlock);
    return lineTime(bytes.fromPeripheral + bytes.fromLibrary, bitsPerSecond);
}

}  // namespace kest_bench

// The time the data link's wire format alone takes: every byte is 10 bit times (start, 8 data,
// stop), frames are 3 header bytes and their payload, and a download is a strict ping-pong: the
// peripheral sends a block only once it has the library's acknowledgement of the one before, so
// no two messages of a download are on the line at the same time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kest_bench {

using Seconds = std::chrono::duration<double>;

inline constexpr int kBitsPerByte = 10;
inline constexpr std::size_t kFrameHeader = 3;
inline constexpr std::size_t kVersionRequestFrame = kFrameHeader + 2;
inline constexpr std::size_t kVersionResponseFrame = kFrameHeader + 19;
inline constexpr std::size_t kFileDownloadRequestFrame = kFrameHeader + 2;
inline constexpr std::size_t kFileDownloadResponseFrame = kFrameHeader + 11;
inline constexpr std::size_t kDataResponseFrame = kFrameHeader + 4;
// Code, sequence number and the trailing byte around the stream bytes of a FileData block.
inline constexpr std::size_t kFileDataOverhead = 3;

Seconds lineTime(std::size_t bytes, std::uint32_t bitsPerSecond);

// Bytes on the line for one download once its FileDownloadRequest is out: the response, then
// for each block its FileData frame and the library's DataResponse.
struct DownloadBytes {
    std::size_t fromPeripheral = 0;
    std::size_t fromLibrary = 0;
    std::size_t blocks = 0;
};
DownloadBytes downloadBytes(std::size_t streamSize, std::size_t bytesPerBlock);

// The library reads the data port 32 bytes at a time, and a read that is not filled returns only
// once no byte has come for 3 ms (the port's interval time-out). A burst of the peripheral that
// is not a multiple of 32 bytes long (it sends nothing more until the library answers) is so
// decoded only after such a pause: the version response, the download response with the first
// block, and mostly the last block.
inline constexpr std::size_t kReadSize = 32;
inline constexpr std::chrono::milliseconds kReadIntervalTimeout{3};

bool endsInReadPause(std::size_t burstBytes);
// The bursts of a download that end in a read pause.
std::size_t downloadReadPauses(std::size_t streamSize, std::size_t bytesPerBlock);

// The shortest time such a download can take on a line of this rate.
Seconds downloadBound(std::size_t streamSize, std::size_t bytesPerBlock,
                      std::uint32_t bitsPerSecond);

}  // namespace kest_bench

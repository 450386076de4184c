// The sensor's own register set, reached with vendor control requests on the default pipe:
//   read  (0xC0): bRequest 0x0C reads register wIndex (wLength 1, or 0 for nothing),
//                 bRequest 0x04 reads wLength registers from wIndex;
//   write (0x40): bRequest 0x0C writes register wIndex with the one data byte (or, with no data,
//                 the low byte of wValue), bRequest 0x04 writes the data from wIndex on.
// A request past the last register, a write to a read-only register and any other bRequest
// stall. Multi-byte values are little-endian.
#pragma once

#include <cstdint>

namespace sim::registers {

constexpr std::uint8_t kChipId = 0x00;     // read-only, kChipIdValue
constexpr std::uint8_t kRevision = 0x01;   // read-only, the low byte of bcdDevice
constexpr std::uint8_t kStatus = 0x02;     // read-only, kStatus* bits
constexpr std::uint8_t kControl = 0x03;    // kMode*: what bulk IN delivers
constexpr std::uint8_t kWidth = 0x04;      // read-only, 2 bytes: image columns
constexpr std::uint8_t kHeight = 0x06;     // read-only, 2 bytes: image rows
constexpr std::uint8_t kSeed = 0x08;       // 4 bytes: the next capture's finger
constexpr std::uint8_t kImageSize = 0x0C;  // read-only, 4 bytes: width x height
constexpr std::uint8_t kScratch = 0x10;    // 0x10 to 0x3F: free for the host
constexpr std::uint8_t kCount = 0x40;

constexpr std::uint8_t kChipIdValue = 0xD5;

constexpr std::uint8_t kStatusImageReady = 0x01;  // a captured image waits on bulk IN
constexpr std::uint8_t kStatusStreaming = 0x02;

// Writing kControl: idle (bulk IN returns what bulk OUT took, a loopback), capture one grey-scale
// image of width x height bytes, row by row, then idle again; or stream a counting pattern
// without end (for throughput measurements).
constexpr std::uint8_t kModeIdle = 0;
constexpr std::uint8_t kModeCapture = 1;
constexpr std::uint8_t kModeStream = 2;

constexpr std::uint8_t kVendorBlock = 0x04;
constexpr std::uint8_t kVendorSingle = 0x0C;

}  // namespace sim::registers

// One download as the peripheral serves it: the FileDownloadResponse and, when a file follows,
// the FileData frames in the order they go out, each one after the acknowledgement of the one
// before. The transfer stream is the 16-byte name header followed by the content; its checksum
// is the sum of its bytes modulo 2^32.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "peripheral/faults.h"
#include "peripheral/messages.h"

namespace sim {

// The file the peripheral serves, and how it answers FileDownloadRequest.
struct PeripheralFile {
    std::uint8_t status = 0x00;          // Status byte of FileDownloadResponse
    std::uint8_t downloadStatus = 0x00;  // 0 a file follows, 1 no file, other values an error
    std::array<std::uint8_t, kNameHeaderSize> nameHeader{'c', 'a', 'l', 'i', 'b'};
    std::vector<std::uint8_t> content;
    std::size_t blockSize = kMaxBlockBytes;  // stream bytes per FileData block, 1 to 122
};

std::vector<std::uint8_t> transferStream(const PeripheralFile& file);
std::uint32_t streamChecksum(const std::vector<std::uint8_t>& stream);

class DownloadPlan {
  public:
    // Takes the faults that spoil the response and the blocks out of `faults`.
    DownloadPlan(const PeripheralFile& file, FaultSet& faults);

    const std::vector<std::uint8_t>& response() const { return response_; }
    // Whether FileData frames follow the response.
    bool servesFile() const { return !frames_.empty(); }
    const std::vector<std::vector<std::uint8_t>>& frames() const { return frames_; }
    // The FileData frame (0: the first) at which the data port vanishes, if it does.
    std::optional<std::uint32_t> vanishAt() const { return vanishAt_; }

  private:
    void planBlocks(const std::vector<std::uint8_t>& stream, std::size_t blockSize,
                    FaultSet& faults);

    std::vector<std::uint8_t> response_;
    std::vector<std::vector<std::uint8_t>> frames_;
    std::optional<std::uint32_t> vanishAt_;
};

}  // namespace sim

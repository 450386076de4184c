// The byte faults of a download: one byte of what the peripheral sends is left out, sent twice or
// sent inverted, at an offset counted from the first byte of the download's first frame.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "peripheral/faults.h"

namespace sim {

class WireFaults {
  public:
    WireFaults() = default;
    // Takes the byte faults out of `faults`.
    explicit WireFaults(FaultSet& faults);

    // The bytes to put on the line for the next `bytes` of the download.
    std::vector<std::uint8_t> pass(std::span<const std::uint8_t> bytes);

  private:
    std::optional<std::uint32_t> drop_;
    std::optional<std::uint32_t> duplicate_;
    std::optional<std::uint32_t> corrupt_;
    std::uint64_t offset_ = 0;
};

}  // namespace sim

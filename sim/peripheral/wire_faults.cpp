#include "peripheral/wire_faults.h"

namespace sim {

WireFaults::WireFaults(FaultSet& faults)
    : drop_(faults.take(Fault::DropByte)),
      duplicate_(faults.take(Fault::DuplicateByte)),
      corrupt_(faults.take(Fault::CorruptByte)) {}

std::vector<std::uint8_t> WireFaults::pass(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> out;
    out.reserve(bytes.size() + 1);
    for (const std::uint8_t byte : bytes) {
        const std::uint64_t at = offset_++;
        if (drop_ == at) continue;
        const std::uint8_t sent = corrupt_ == at ? static_cast<std::uint8_t>(~byte) : byte;
        out.push_back(sent);
        if (duplicate_ == at) out.push_back(sent);
    }
    return out;
}

}  // namespace sim

#include "peripheral/frame.h"

#include <algorithm>
#include <stdexcept>

namespace sim {

std::optional<std::uint8_t> Frame::code() const {
    if (payload.empty()) return std::nullopt;
    return payload.front();
}

std::vector<std::uint8_t> encodeFrame(std::uint8_t type, std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxFramePayload)
        throw std::length_error("frame payload longer than 255 bytes");
    std::vector<std::uint8_t> bytes(3 + payload.size());
    bytes[0] = kFrameStart;
    bytes[1] = type;
    bytes[2] = static_cast<std::uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), bytes.begin() + 3);
    return bytes;
}

}  // namespace sim

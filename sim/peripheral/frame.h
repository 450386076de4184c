// One frame of the peripheral's serial protocol as the peripheral sees it: start byte 0x21, a
// frame-type byte, a payload length byte and the payload, whose first byte is the message code.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

inline constexpr std::uint8_t kFrameStart = 0x21;
inline constexpr std::size_t kMaxFramePayload = 255;

struct Frame {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;

    // The message code, or nothing for a frame without payload.
    std::optional<std::uint8_t> code() const;

    bool operator==(const Frame&) const = default;
};

// The wire image of a frame. Throws std::length_error for a payload of more than
// kMaxFramePayload bytes, which the length byte cannot announce.
std::vector<std::uint8_t> encodeFrame(std::uint8_t type, std::span<const std::uint8_t> payload);

}  // namespace sim

// One frame of the peripheral's data link, as it travels on the wire:
//
//   0x21 | frame type | payload length N | N payload bytes (payload[0] is the message code)
//
// There is no checksum, end byte or escaping; a frame is delimited by its length alone.
#pragma once

#include <windows.h>

namespace kest {

class Frame {
  public:
    static constexpr BYTE kStartByte = 0x21;
    static constexpr int kHeaderLength = 3;
    static constexpr int kCapacity = 128;
    static constexpr int kMaxPayloadLength = kCapacity - kHeaderLength;

    // A frame with an empty payload.
    explicit Frame(BYTE type);
    // A frame carrying n bytes of payload. A payload that does not fit (n outside
    // 0..kMaxPayloadLength) is refused whole and the frame is built empty: a payload cut to size
    // would reach the peripheral as a different, wrong message, while an empty frame carries no
    // message code and is ignored. A null payload also gives an empty frame.
    Frame(BYTE type, const BYTE* payload, int n);

    const BYTE* Bytes() const { return bytes; }
    int Length() const { return length; }
    BYTE Type() const { return bytes[1]; }
    // Null for an empty payload: such a frame carries no message code.
    const BYTE* Payload() const { return length > kHeaderLength ? bytes + kHeaderLength : nullptr; }
    int PayloadLength() const { return length - kHeaderLength; }

  private:
    BYTE bytes[kCapacity];
    LONG length;
};

// The 32-bit field at buffer + offset: little-endian with order 1, big-endian with any other
// order (every field of the peripheral's messages is big-endian).
DWORD ReadU32(const BYTE* buffer, int order, int offset);

}  // namespace kest

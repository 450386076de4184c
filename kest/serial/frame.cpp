#include "serial/frame.h"

#include <cstring>

namespace kest {

Frame::Frame(BYTE type) : Frame(type, nullptr, 0) {}

Frame::Frame(BYTE type, const BYTE* payload, int n) : bytes{}, length(kHeaderLength) {
    const bool fits = payload != nullptr && n > 0 && n <= kMaxPayloadLength;
    bytes[0] = kStartByte;
    bytes[1] = type;
    bytes[2] = fits ? static_cast<BYTE>(n) : 0;
    if (fits) {
        std::memcpy(bytes + kHeaderLength, payload, static_cast<size_t>(n));
        length = kHeaderLength + n;
    }
}

DWORD ReadU32(const BYTE* buffer, int order, int offset) {
    const BYTE* p = buffer + offset;
    if (order == 1) {
        return DWORD{p[0]} | DWORD{p[1]} << 8 | DWORD{p[2]} << 16 | DWORD{p[3]} << 24;
    }
    return DWORD{p[0]} << 24 | DWORD{p[1]} << 16 | DWORD{p[2]} << 8 | DWORD{p[3]};
}

}  // namespace kest

#include "serial/frame_decoder.h"

#include <new>

namespace kest {

std::unique_ptr<Frame> FrameDecoder::Push(BYTE byte) {
    switch (state) {
        case AwaitType:
            type = byte;
            state = AwaitLength;
            return nullptr;
        case AwaitLength:
            length = byte;
            count = 0;
            if (length == 0) return Complete();
            state = AwaitPayload;
            return nullptr;
        case AwaitPayload:
            if (length <= Frame::kMaxPayloadLength) payload[count] = byte;
            ++count;
            return count == length ? Complete() : nullptr;
        default:
            if (byte == Frame::kStartByte) state = AwaitType;
            return nullptr;
    }
}

std::unique_ptr<Frame> FrameDecoder::Complete() {
    state = AwaitStart;
    if (length > Frame::kMaxPayloadLength) return nullptr;
    return std::unique_ptr<Frame>(new (std::nothrow) Frame(type, payload, length));
}

}  // namespace kest

#include "peripheral/frame_reader.h"

#include <utility>

namespace sim {

std::optional<Frame> FrameReader::push(std::uint8_t byte) {
    switch (stage_) {
        case Stage::Start:
            if (byte == kFrameStart) stage_ = Stage::Type;
            return std::nullopt;
        case Stage::Type:
            frame_ = Frame{byte, {}};
            stage_ = Stage::Length;
            return std::nullopt;
        case Stage::Length:
            length_ = byte;
            if (length_ > 0) {
                frame_.payload.reserve(length_);
                stage_ = Stage::Payload;
                return std::nullopt;
            }
            break;
        case Stage::Payload:
            frame_.payload.push_back(byte);
            if (frame_.payload.size() < length_) return std::nullopt;
            break;
    }
    stage_ = Stage::Start;
    return std::exchange(frame_, Frame{});
}

}  // namespace sim

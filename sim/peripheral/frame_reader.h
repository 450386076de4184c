// Assembles frames from the bytes the peripheral receives, however they are split across reads.
// Frames are delimited by their length byte alone; bytes before a start byte are dropped.
#pragma once

#include <cstdint>
#include <optional>

#include "peripheral/frame.h"

namespace sim {

class FrameReader {
  public:
    // The frame that this byte completes, if any.
    std::optional<Frame> push(std::uint8_t byte);

  private:
    enum class Stage { Start, Type, Length, Payload };

    Stage stage_ = Stage::Start;
    std::size_t length_ = 0;
    Frame frame_;
};

}  // namespace sim

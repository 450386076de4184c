// The receive state machine of the data link: assembles frames from received bytes, one byte at
// a time, keeping its state between reads so that a frame may arrive in any number of pieces.
#pragma once

#include <windows.h>

#include <memory>

#include "serial/frame.h"

namespace kest {

class FrameDecoder {
  public:
    enum State : BYTE { AwaitStart = 0, AwaitType = 1, AwaitLength = 2, AwaitPayload = 3 };

    // The frame that this byte completes, else none. Bytes before a start byte are dropped.
    //
    // A frame announcing more payload than a Frame holds is consumed to its announced end
    // without storing its payload and then dropped: the line stays framed by length, so the
    // frame after it decodes as usual. A frame that cannot be allocated is lost as well; either
    // way the decoder goes back to AwaitStart.
    std::unique_ptr<Frame> Push(BYTE byte);

  private:
    std::unique_ptr<Frame> Complete();

    BYTE state = AwaitStart;
    BYTE type = 0;
    BYTE length = 0;
    BYTE count = 0;
    BYTE payload[132] = {};
};

}  // namespace kest

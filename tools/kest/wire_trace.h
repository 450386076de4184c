// The wire trace (kest --trace): what the library writes to and reads from its COM ports, as the
// platform's port tap sees it, decoded into the peripheral protocol's frames, one line each.
#pragma once

#include <host/serial.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "checked_output.h"

namespace kest_tool {

// The message a whole frame (start byte first) carries, "ActivatePeripheral code=3", or
// "does not decode: " and the reason.
std::string describeFrame(std::span<const std::uint8_t> frame);

// Cuts the bytes of one direction of one port into frames the way the library's decoder does,
// however they are split: bytes before a start byte belong to no frame, and a frame is delimited
// by its length byte alone. Each line is the frame's bytes in hexadecimal and what it carries.
class FrameSplitter {
  public:
    // The lines these bytes complete.
    std::vector<std::string> push(std::span<const std::uint8_t> bytes);
    // A frame cut off, or bytes outside a frame still waiting for the next start byte, as a
    // line; nothing when there are none. The splitter starts afresh.
    std::optional<std::string> flush();

  private:
    std::vector<std::uint8_t> pending_;
    bool inFrame_ = false;
};

// Writes the trace of the ports it is attached to: "12.345 > 21 00 02 01 00 VersionRequest"
// (milliseconds since the trace began; > written by the library, < read by it) and
// "0.120 COM2: opened". A frame cut off is shown once its port closes, or at the end of the
// trace, stamped with the time its last byte came.
class WireTrace final : public host::serial::PortTap {
  public:
    explicit WireTrace(std::ostream& out);
    // Attaches the trace to COM1: and to every number the library may find its data port on.
    static void attach(const std::shared_ptr<WireTrace>& trace);
    static void detach();

    // Shows what is still cut off on any port.
    void finish();
    // Why the trace could not be written; empty while every line was.
    std::string failure();

    void opened(unsigned comNumber) override;
    void closed(unsigned comNumber) override;
    void bytes(unsigned comNumber, Direction direction,
               std::span<const std::uint8_t> bytes) override;

  private:
    using Clock = std::chrono::steady_clock;
    // One direction of one port, and when its last bytes came.
    struct Stream {
        FrameSplitter splitter;
        Clock::time_point lastBytes;
    };
    using StreamKey = std::pair<unsigned, Direction>;

    void writeLine(const std::string& text, Clock::time_point at = Clock::now());
    // Ends what the stream's splitter holds.
    void flush(const StreamKey& key, Stream& stream);

    std::mutex lock_;
    tool_output::CheckedStream out_;
    const Clock::time_point start_ = Clock::now();
    std::map<StreamKey, Stream> streams_;
};

}  // namespace kest_tool

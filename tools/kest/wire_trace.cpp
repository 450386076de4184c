#include "wire_trace.h"

#include <cstdio>

#include "console.h"
#include "shown_text.h"

namespace kest_tool {
namespace {

constexpr std::uint8_t kStartByte = 0x21;
constexpr std::size_t kHeaderSize = 3;
constexpr std::size_t kMaxPayload = 125;  // what a frame of the library holds
// The library's data port is among COM1 to COM31, the numbers its discovery looks at.
constexpr unsigned kHighestComNumber = 31;

using Payload = std::span<const std::uint8_t>;

std::string hexByte(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string hexBytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", b);
        if (!text.empty()) text.push_back(' ');
        text += pair;
    }
    return text;
}

std::uint32_t bigEndian32(Payload p, std::size_t offset) {
    return std::uint32_t{p[offset]} << 24 | std::uint32_t{p[offset + 1]} << 16 |
           std::uint32_t{p[offset + 2]} << 8 | p[offset + 3];
}

std::string versionFields(Payload p) {
    std::string text;
    for (std::size_t i = 3; i < 15 && p[i] != 0; ++i) text.push_back(static_cast<char>(p[i]));
    char serial[16];
    std::snprintf(serial, sizeof serial, "0x%08X", bigEndian32(p, 15));
    return "status=" + hexByte(p[1]) + " version=" + std::to_string(p[2] >> 4) + "." +
           std::to_string(p[2] & 0x0F) + " text=" + tool_text::quoted(text) + " serial=" + serial;
}

std::string downloadFields(Payload p) {
    std::string fields = "status=" + hexByte(p[1]) + " download_status=" + hexByte(p[2]);
    if (p[2] != 0) return fields;
    char checksum[16];
    std::snprintf(checksum, sizeof checksum, "0x%08X", bigEndian32(p, 7));
    return fields + " size=" + std::to_string(bigEndian32(p, 3)) + " checksum=" + checksum;
}

struct MessageLayout {
    std::uint8_t code;
    const char* name;
    std::size_t minLength;  // the payload bytes the fields are read from
    std::string (*fields)(Payload);
};

// The messages of both directions; a DataResponse shows its fields when it has them.
const MessageLayout kMessages[] = {
    {0x00, "Null", 1, nullptr},
    {0x01, "VersionRequest", 1, nullptr},
    {0x02, "VersionResponse", 19, versionFields},
    {0x03, "Event", 2, [](Payload p) { return "status=" + hexByte(p[1]); }},
    {0x05, "FileUploadResponse", 3,
     [](Payload p) { return "status=" + hexByte(p[1]) + " upload_status=" + hexByte(p[2]); }},
    {0x06, "FileDownloadRequest", 1, nullptr},
    {0x07, "FileDownloadResponse", 3, downloadFields},
    {0x08, "FileData", 2,
     [](Payload p) {
         // The last payload byte is not part of the block.
         const std::size_t data = p.size() > 3 ? p.size() - 3 : 0;
         return "sequence=" + std::to_string(p[1]) + " bytes=" + std::to_string(data);
     }},
    {0x09, "DataResponse", 1,
     [](Payload p) {
         return p.size() < 3 ? std::string()
                             : "sequence=" + std::to_string(p[1]) + " status=" + hexByte(p[2]);
     }},
    {0x0B, "ActivatePeripheral", 2, [](Payload p) { return "code=" + std::to_string(p[1]); }},
};

std::string undecoded(const std::string& reason) {
    return "does not decode: " + reason;
}

}  // namespace

std::string describeFrame(std::span<const std::uint8_t> frame) {
    const std::uint8_t type = frame[1];
    const Payload payload = frame.subspan(kHeaderSize);
    if (payload.size() > kMaxPayload)
        return undecoded(std::to_string(payload.size()) + " payload bytes, more than the " +
                         std::to_string(kMaxPayload) + " a frame holds");
    if (type != 0) return undecoded("frame type " + hexByte(type) + ", messages travel in 0x00");
    if (payload.empty()) return undecoded("no message code (empty payload)");
    for (const MessageLayout& message : kMessages) {
        if (message.code != payload[0]) continue;
        const std::string name = message.name;
        // A FileDownloadResponse that announces a file carries its size and checksum too.
        const std::size_t needed =
            message.code == 0x07 && payload.size() >= 3 && payload[2] == 0 ? 11 : message.minLength;
        if (payload.size() < needed)
            return undecoded(name + " of " + std::to_string(payload.size()) + " bytes, " +
                             std::to_string(needed) + " needed");
        const std::string fields = message.fields ? message.fields(payload) : std::string();
        return fields.empty() ? name : name + " " + fields;
    }
    return undecoded("unknown message code " + hexByte(payload[0]));
}

std::vector<std::string> FrameSplitter::push(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> lines;
    for (const std::uint8_t b : bytes) {
        if (!inFrame_) {
            if (b != kStartByte) {
                pending_.push_back(b);
                continue;
            }
            if (auto stray = flush()) lines.push_back(std::move(*stray));
            inFrame_ = true;
        }
        pending_.push_back(b);
        if (pending_.size() >= kHeaderSize && pending_.size() == kHeaderSize + pending_[2]) {
            lines.push_back(hexBytes(pending_) + " " + describeFrame(pending_));
            pending_.clear();
            inFrame_ = false;
        }
    }
    return lines;
}

std::optional<std::string> FrameSplitter::flush() {
    if (pending_.empty()) return std::nullopt;
    std::string line = hexBytes(pending_) + " ";
    if (!inFrame_)
        line += undecoded("outside a frame (no start byte before)");
    else if (pending_.size() < kHeaderSize)
        line += undecoded("the frame's header is cut off");
    else
        line += undecoded("cut off after " + std::to_string(pending_.size()) + " of " +
                          std::to_string(kHeaderSize + pending_[2]) + " bytes");
    pending_.clear();
    inFrame_ = false;
    return line;
}

WireTrace::WireTrace(std::ostream& out) : out_(out) {}

void WireTrace::attach(const std::shared_ptr<WireTrace>& trace) {
    for (unsigned number = 1; number <= kHighestComNumber; ++number)
        host::serial::attachTap(number, trace);
}

void WireTrace::detach() {
    attach(nullptr);
}

void WireTrace::opened(unsigned comNumber) {
    std::lock_guard guard(lock_);
    writeLine("COM" + std::to_string(comNumber) + ": opened");
}

void WireTrace::closed(unsigned comNumber) {
    std::lock_guard guard(lock_);
    for (const Direction direction : {Direction::Written, Direction::Read}) {
        const StreamKey key{comNumber, direction};
        if (const auto it = streams_.find(key); it != streams_.end()) flush(key, it->second);
    }
    writeLine("COM" + std::to_string(comNumber) + ": closed");
}

void WireTrace::bytes(unsigned comNumber, Direction direction,
                      std::span<const std::uint8_t> bytes) {
    std::lock_guard guard(lock_);
    const char* arrow = direction == Direction::Written ? "> " : "< ";
    Stream& stream = streams_[{comNumber, direction}];
    stream.lastBytes = Clock::now();
    for (const std::string& line : stream.splitter.push(bytes))
        writeLine(arrow + line, stream.lastBytes);
}

void WireTrace::finish() {
    std::lock_guard guard(lock_);
    for (auto& [key, stream] : streams_) flush(key, stream);
}

std::string WireTrace::failure() {
    std::lock_guard guard(lock_);
    return out_.failure();
}

void WireTrace::flush(const StreamKey& key, Stream& stream) {
    if (auto line = stream.splitter.flush())
        writeLine((key.second == Direction::Written ? "> " : "< ") + *line, stream.lastBytes);
}

void WireTrace::writeLine(const std::string& text, Clock::time_point at) {
    const std::chrono::duration<double, std::milli> since = at - start_;
    char time[32];
    std::snprintf(time, sizeof time, "%.3f ", since.count());
    out_.write(time + text + "\n");
}

}  // namespace kest_tool

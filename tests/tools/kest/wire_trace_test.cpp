// The wire trace's decoder: frames however split, with their messages or why they do not decode.
#include <gtest/gtest.h>

#include <sstream>

#include "wire_trace.h"

namespace kest_tool {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    std::istringstream in(hex);
    for (unsigned value; in >> std::hex >> value;) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

TEST(WireTraceTest, SplitsAndDecodesFramesAndSaysWhyOthersDoNot) {
    const std::string version = "21 00 13 02 00 1A 4B 45 53 54 22 01 00 00 00 00 00 00 00 00 AB CD";
    const struct {
        std::vector<std::string> pieces;  // pushed one after the other, then flushed
        std::vector<std::string> lines;
    } cases[] = {
        {{"21 00 03 0B 03 00"}, {"21 00 03 0B 03 00 ActivatePeripheral code=3"}},
        {{"55 21 00 02", "01 00 21 00 01"},
         {"55 does not decode: outside a frame (no start byte before)",
          "21 00 02 01 00 VersionRequest", "21 00 01 does not decode: cut off after 3 of 4 bytes"}},
        {{version},
         {version + " VersionResponse status=0x00 version=1.10 text=\"KEST\\\"\\x01\" serial=0x0000ABCD"}},
        {{"21 00 03 02 00 12"}, {"21 00 03 02 00 12 does not decode: VersionResponse of 3 bytes, 19 needed"}},
        {{"21 00 0B 07 00 00 00 00 03 F8 00 01 F2 A3 21 00 03 07 00 01"},
         {"21 00 0B 07 00 00 00 00 03 F8 00 01 F2 A3 FileDownloadResponse status=0x00 "
          "download_status=0x00 size=1016 checksum=0x0001F2A3",
          "21 00 03 07 00 01 FileDownloadResponse status=0x00 download_status=0x01"}},
        {{"21 00 03 07 00 00"}, {"21 00 03 07 00 00 does not decode: FileDownloadResponse of 3 bytes, 11 needed"}},
        {{"21 00 05 08 01 AA BB 00 21 00 04 09 01 00 00 21 00 02 03 05"},
         {"21 00 05 08 01 AA BB 00 FileData sequence=1 bytes=2",
          "21 00 04 09 01 00 00 DataResponse sequence=1 status=0x00", "21 00 02 03 05 Event status=0x05"}},
        {{"21 01 02 01 00 21 00 00 21 00 01 04 21"},
         {"21 01 02 01 00 does not decode: frame type 0x01, messages travel in 0x00",
          "21 00 00 does not decode: no message code (empty payload)",
          "21 00 01 04 does not decode: unknown message code 0x04",
          "21 does not decode: the frame's header is cut off"}},
    };
    for (const auto& c : cases) {
        FrameSplitter splitter;
        std::vector<std::string> lines;
        for (const std::string& piece : c.pieces)
            for (std::string& line : splitter.push(bytesOf(piece))) lines.push_back(line);
        if (auto rest = splitter.flush()) lines.push_back(*rest);
        EXPECT_EQ(lines, c.lines) << c.pieces[0];
    }
    std::vector<std::uint8_t> longFrame = bytesOf("21 00 C8");
    longFrame.resize(3 + 200, 0x08);
    EXPECT_EQ(describeFrame(longFrame),
              "does not decode: 200 payload bytes, more than the 125 a frame holds");
}

}  // namespace
}  // namespace kest_tool

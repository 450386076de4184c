#include "serial/frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using kest::Frame;

std::vector<BYTE> wire(const Frame& frame) {
    return {frame.Bytes(), frame.Bytes() + frame.Length()};
}

TEST(Frame, EmptyFrameHasHeaderOnly) {
    const Frame frame(7);
    EXPECT_EQ(wire(frame), (std::vector<BYTE>{0x21, 0x07, 0x00}));
    EXPECT_EQ(frame.Type(), 7);
    EXPECT_EQ(frame.Payload(), nullptr);
    EXPECT_EQ(frame.PayloadLength(), 0);
}

TEST(Frame, PayloadFollowsItsLength) {
    const BYTE versionRequest[] = {0x01, 0x00};
    const Frame frame(0, versionRequest, 2);
    EXPECT_EQ(wire(frame), (std::vector<BYTE>{0x21, 0x00, 0x02, 0x01, 0x00}));
    ASSERT_NE(frame.Payload(), nullptr);
    EXPECT_EQ(frame.Payload(), frame.Bytes() + 3);
    EXPECT_EQ(frame.PayloadLength(), 2);
}

TEST(Frame, LargestPayloadFillsTheFrame) {
    std::vector<BYTE> payload(Frame::kMaxPayloadLength);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<BYTE>(i + 1);
    const Frame frame(0, payload.data(), Frame::kMaxPayloadLength);
    EXPECT_EQ(frame.Length(), Frame::kCapacity);
    EXPECT_EQ(frame.Bytes()[2], 125);
    EXPECT_EQ(std::vector<BYTE>(frame.Payload(), frame.Payload() + frame.PayloadLength()), payload);
}

TEST(Frame, PayloadThatDoesNotFitIsRefusedWhole) {
    std::vector<BYTE> payload(200, 0x55);
    for (int n : {Frame::kMaxPayloadLength + 1, 200, -1}) {
        const Frame frame(0, payload.data(), n);
        EXPECT_EQ(wire(frame), (std::vector<BYTE>{0x21, 0x00, 0x00})) << "n = " << n;
        EXPECT_EQ(frame.Payload(), nullptr);
    }
    const Frame noPayload(0, nullptr, 4);
    EXPECT_EQ(wire(noPayload), (std::vector<BYTE>{0x21, 0x00, 0x00}));
}

TEST(ReadU32, ByteOrders) {
    const BYTE bytes[] = {0xEE, 0x00, 0x00, 0x01, 0x02};
    EXPECT_EQ(kest::ReadU32(bytes, 0, 1), 258u);
    EXPECT_EQ(kest::ReadU32(bytes, 2, 1), 258u);
    EXPECT_EQ(kest::ReadU32(bytes, 1, 1), 33619968u);
}

TEST(ReadU32, AllBitsOfEveryByte) {
    const BYTE bytes[] = {0xFE, 0xDC, 0xBA, 0x98};
    EXPECT_EQ(kest::ReadU32(bytes, 0, 0), 0xFEDCBA98u);
    EXPECT_EQ(kest::ReadU32(bytes, 1, 0), 0x98BADCFEu);
}

}  // namespace

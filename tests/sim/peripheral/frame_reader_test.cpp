#include "peripheral/frame_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace sim {
namespace {

using ::testing::ElementsAre;

std::vector<Frame> pushAll(FrameReader& reader, const std::vector<std::uint8_t>& bytes) {
    std::vector<Frame> frames;
    for (const std::uint8_t b : bytes)
        if (auto frame = reader.push(b)) frames.push_back(*frame);
    return frames;
}

TEST(FrameReader, DropsNoiseBeforeStartAndSplitsBackToBackFrames) {
    FrameReader reader;
    const auto frames =
        pushAll(reader, {0x55, 0x21, 0x00, 0x02, 0x01, 0x00, 0x21, 0x07, 0x01, 0x03});
    EXPECT_THAT(frames, ElementsAre(Frame{0, {0x01, 0x00}}, Frame{7, {0x03}}));
}

TEST(FrameReader, EmptyPayloadCompletesAtTheLengthByteAndHasNoCode) {
    FrameReader reader;
    const auto frames = pushAll(reader, {0x21, 0x00, 0x00});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].payload.empty());
    EXPECT_FALSE(frames[0].code().has_value());
}

TEST(FrameReader, StartByteInsidePayloadIsData) {
    FrameReader reader;
    const auto frames = pushAll(reader, {0x21, 0x00, 0x03, 0x0B, 0x21, 0x00});
    EXPECT_THAT(frames, ElementsAre(Frame{0, {0x0B, 0x21, 0x00}}));
}

TEST(FrameReader, FrameSplitAcrossPushesIsDeliveredOnceAtItsLastByte) {
    FrameReader reader;
    EXPECT_TRUE(pushAll(reader, {0x21, 0x00, 0x02}).empty());
    EXPECT_THAT(pushAll(reader, {0x01, 0x00}), ElementsAre(Frame{0, {0x01, 0x00}}));
}

TEST(FrameReader, TakesTheLongestPayloadTheLengthByteCanAnnounce) {
    FrameReader reader;
    std::vector<std::uint8_t> bytes{0x21, 0x00, 0xFF};
    for (int i = 0; i < 255; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
    bytes.insert(bytes.end(), {0x21, 0x00, 0x01, 0x09});
    const auto frames = pushAll(reader, bytes);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].payload.size(), 255u);
    EXPECT_EQ(frames[0].payload.back(), 254);
    EXPECT_EQ(frames[1], (Frame{0, {0x09}}));
}

TEST(EncodeFrame, WritesHeaderAndPayloadAndRefusesWhatTheLengthByteCannotHold) {
    const std::vector<std::uint8_t> payload{0x02, 0x00, 0x1A};
    EXPECT_THAT(encodeFrame(0, payload), ElementsAre(0x21, 0x00, 0x03, 0x02, 0x00, 0x1A));
    EXPECT_THAT(encodeFrame(5, {}), ElementsAre(0x21, 0x05, 0x00));
    const std::vector<std::uint8_t> tooLong(256, 0);
    EXPECT_THROW(encodeFrame(0, tooLong), std::length_error);
}

TEST(EncodeFrame, ReaderReadsBackWhatEncodeWrites) {
    FrameReader reader;
    const std::vector<std::uint8_t> payload{0x08, 0x21, 0x21, 0x00, 0xFF};
    EXPECT_THAT(pushAll(reader, encodeFrame(0, payload)), ElementsAre(Frame{0, payload}));
}

}  // namespace
}  // namespace sim

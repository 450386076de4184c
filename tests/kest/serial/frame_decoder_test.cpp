#include "serial/frame_decoder.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <ostream>
#include <vector>

#include "allocation_probe.h"

namespace {

using kest::Frame;
using kest::FrameDecoder;

// A decoded frame as type and payload.
struct Decoded {
    BYTE type;
    std::vector<BYTE> payload;
    bool operator==(const Decoded&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Decoded& d) {
    out << "type " << int{d.type} << " payload";
    for (BYTE b : d.payload) out << ' ' << int{b};
    return out;
}

std::vector<Decoded> push(FrameDecoder& decoder, const std::vector<BYTE>& bytes) {
    std::vector<Decoded> frames;
    for (BYTE b : bytes) {
        if (std::unique_ptr<Frame> frame = decoder.Push(b)) {
            const BYTE* p = frame->Payload();
            frames.push_back({frame->Type(), p ? std::vector<BYTE>(p, p + frame->PayloadLength())
                                               : std::vector<BYTE>{}});
        }
    }
    return frames;
}

TEST(FrameDecoder, EmptyPayload) {
    FrameDecoder decoder;
    EXPECT_EQ(decoder.Push(0x21), nullptr);
    EXPECT_EQ(decoder.Push(0x00), nullptr);
    const std::unique_ptr<Frame> frame = decoder.Push(0x00);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->Type(), 0);
    EXPECT_EQ(frame->Length(), 3);
    EXPECT_EQ(frame->Payload(), nullptr);
    EXPECT_EQ(frame->PayloadLength(), 0);
}

TEST(FrameDecoder, LeadingGarbageDroppedAndFramesBackToBack) {
    FrameDecoder decoder;
    EXPECT_EQ(push(decoder, {0x55, 0x21, 0x00, 0x02, 0x01, 0x00, 0x21, 0x00, 0x01, 0x03}),
              (std::vector<Decoded>{{0, {0x01, 0x00}}, {0, {0x03}}}));
}

TEST(FrameDecoder, FrameSplitAcrossPushesIsDeliveredOnceAtItsEnd) {
    FrameDecoder decoder;
    EXPECT_TRUE(push(decoder, {0x21, 0x00, 0x02}).empty());
    EXPECT_TRUE(push(decoder, {0x01}).empty());
    EXPECT_EQ(push(decoder, {0x00}), (std::vector<Decoded>{{0, {0x01, 0x00}}}));
    EXPECT_TRUE(push(decoder, {0x00, 0x00}).empty());
}

TEST(FrameDecoder, StartByteInsidePayloadIsData) {
    FrameDecoder decoder;
    EXPECT_EQ(push(decoder, {0x21, 0x00, 0x03, 0x08, 0x21, 0x21, 0x21, 0x00, 0x00}),
              (std::vector<Decoded>{{0, {0x08, 0x21, 0x21}}, {0, {}}}));
}

TEST(FrameDecoder, TypeIsKept) {
    FrameDecoder decoder;
    EXPECT_EQ(push(decoder, {0x21, 0x21, 0x01, 0x21, 0x21, 0x05, 0x00}),
              (std::vector<Decoded>{{0x21, {0x21}}, {0x05, {}}}));
}

TEST(FrameDecoder, LargestPayloadIsTakenWhole) {
    FrameDecoder decoder;
    std::vector<BYTE> bytes{0x21, 0x00, 125};
    std::vector<BYTE> payload;
    for (int i = 0; i < 125; ++i) payload.push_back(static_cast<BYTE>(i * 7));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    EXPECT_EQ(push(decoder, bytes), (std::vector<Decoded>{{0, payload}}));
}

// A frame too long to hold is consumed to its announced end and dropped, so the next frame
// starts where its length says, even when the dropped payload is full of start bytes.
TEST(FrameDecoder, OversizedFramesAreDroppedAndFramingKept) {
    for (int announced : {126, 132, 133, 255}) {
        FrameDecoder decoder;
        std::vector<BYTE> bytes{0x21, 0x00, static_cast<BYTE>(announced)};
        bytes.insert(bytes.end(), static_cast<size_t>(announced), 0x21);
        bytes.insert(bytes.end(), {0x21, 0x00, 0x02, 0x02, 0x07});
        EXPECT_EQ(push(decoder, bytes), (std::vector<Decoded>{{0, {0x02, 0x07}}}))
            << "announced " << announced;
    }
}

TEST(FrameDecoder, FailedAllocationLosesOnlyThatFrame) {
    if (!probe::kAvailable) GTEST_SKIP() << "allocations cannot be watched in this build";
    FrameDecoder decoder;
    probe::failNextFrameAllocation();
    EXPECT_TRUE(push(decoder, {0x21, 0x00, 0x01, 0x03}).empty());
    EXPECT_EQ(push(decoder, {0x21, 0x00, 0x01, 0x09}), (std::vector<Decoded>{{0, {0x09}}}));
}

TEST(FrameDecoder, EveryFrameIsItsOwnAllocation) {
    if (!probe::kAvailable) GTEST_SKIP() << "allocations cannot be watched in this build";
    FrameDecoder decoder;
    const int before = probe::liveFrames();
    for (BYTE b : {0x21, 0x00, 0x01}) EXPECT_EQ(decoder.Push(b), nullptr);
    std::unique_ptr<Frame> first = decoder.Push(0x02);
    for (BYTE b : {0x21, 0x00, 0x01}) EXPECT_EQ(decoder.Push(b), nullptr);
    std::unique_ptr<Frame> second = decoder.Push(0x03);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(probe::liveFrames(), before + 2);
    EXPECT_EQ(first->Payload()[0], 0x02);
    EXPECT_EQ(second->Payload()[0], 0x03);
}

}  // namespace

// The peripheral's answers, with the test playing the library on the data port: what goes on
// the wire for each request, the pacing of the blocks by DataResponse, and each fault's bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

#include "com_handle.h"
#include "peripheral/frame_reader.h"
#include "peripheral/peripheral.h"

namespace sim {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

PeripheralProfile immediateProfile() {
    PeripheralProfile profile;
    profile.port.dataPortDelay = std::chrono::milliseconds(0);
    profile.port.dataBitRate = 0;
    return profile;
}

Bytes wire(const Bytes& payload) {
    return encodeFrame(0, payload);
}

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

std::uint32_t u32(const Bytes& payload, std::size_t at) {
    return std::uint32_t{payload[at]} << 24 | std::uint32_t{payload[at + 1]} << 16 |
           std::uint32_t{payload[at + 2]} << 8 | payload[at + 3];
}

// A powered peripheral with its data port open on the library's side.
class Wire : public ::testing::Test {
  protected:
    void power(PeripheralProfile profile = immediateProfile()) {
        data_.reset();
        powerPort_.reset();
        peripheral_.reset();
        peripheral_.emplace(std::move(profile));
        peripheral_->start();
        powerPort_.emplace(u"COM1:");
        ASSERT_EQ(peripheral_->dataPortNumber(), 2u);
        data_.emplace(u"COM2:");
        ASSERT_TRUE(data_->valid());
    }

    void send(const Bytes& payload) { ASSERT_TRUE(data_->write(wire(payload))); }

    // The next frame the peripheral sends, or an empty frame of type 0xFF when none comes.
    Frame next() {
        FrameReader reader;
        for (;;) {
            const Bytes byte = data_->read(1);
            if (byte.empty()) return Frame{0xFF, {}};
            if (auto frame = reader.push(byte[0])) return *frame;
        }
    }

    // Frames are answered in order, so once a VersionRequest has been answered, everything sent
    // before it has been handled; and nothing was sent in answer to it if the VersionResponse
    // is the next frame.
    void expectNothingMoreSent() {
        send({0x01, 0x00});
        const Frame frame = next();
        EXPECT_EQ(frame.code(), 0x02) << "a frame came before the VersionResponse";
    }

    Peripheral& peripheral() { return *peripheral_; }
    Handle& data() { return *data_; }

  private:
    std::optional<Peripheral> peripheral_;
    std::optional<Handle> powerPort_;
    std::optional<Handle> data_;
};

const Bytes kVersionRequest{0x01, 0x00};
const Bytes kDownloadRequest{0x06, 0x00};
Bytes accept(std::uint8_t sequence) {
    return {0x09, sequence, 0x00, 0x00};
}
const Bytes kReject{0x09, 0x00, 0x01, 0x00};

TEST_F(Wire, VersionRequestGetsTheProfilesVersionResponse) {
    PeripheralProfile profile = immediateProfile();
    profile.identity = {
        0x7E, 0x1A, {'R', 'D', 'R', '-', 'M', 'A', 'X', '-', 'T', 'E', 'X', 'T'}, 0x0000ABCD};
    power(profile);
    send(kVersionRequest);
    EXPECT_THAT(data().read(22),
                ElementsAre(0x21, 0x00, 19, 0x02, 0x7E, 0x1A, 'R', 'D', 'R', '-', 'M', 'A', 'X',
                            '-', 'T', 'E', 'X', 'T', 0x00, 0x00, 0xAB, 0xCD));
}

TEST_F(Wire, RequestsInFramesOfAnotherTypeAreNotAnswered) {
    power();
    ASSERT_TRUE(data().write(encodeFrame(1, kVersionRequest)));
    ASSERT_TRUE(data().write(encodeFrame(1, kDownloadRequest)));
    ASSERT_TRUE(data().write(encodeFrame(1, Bytes{0x0B, 0x05, 0x00})));
    expectNothingMoreSent();
    EXPECT_EQ(peripheral().responder().download().requests, 0u);
    EXPECT_TRUE(peripheral().responder().activations().empty());
}

TEST_F(Wire, DownloadServesTheStreamBlockByBlockAsEachIsAcknowledged) {
    PeripheralProfile profile = immediateProfile();
    profile.file.content = generatedContent(300);
    power(profile);
    send(kDownloadRequest);

    const Frame response = next();
    const Bytes stream = transferStream(profile.file);
    ASSERT_EQ(response.payload.size(), 11u);
    EXPECT_THAT(Bytes(response.payload.begin(), response.payload.begin() + 3),
                ElementsAre(0x07, 0x00, 0x00));
    EXPECT_EQ(u32(response.payload, 3), stream.size());
    EXPECT_EQ(u32(response.payload, 7), streamChecksum(stream));
    EXPECT_EQ(streamChecksum(stream),
              std::accumulate(stream.begin(), stream.end(), std::uint32_t{0}));

    Bytes received;
    std::vector<std::size_t> blockSizes;
    for (std::uint8_t sequence = 0; received.size() < stream.size(); ++sequence) {
        const Frame block = next();
        ASSERT_GE(block.payload.size(), 3u);
        EXPECT_EQ(block.payload[0], 0x08);
        EXPECT_EQ(block.payload[1], sequence);
        // Paced: the next block is sent only after this one's acknowledgement.
        EXPECT_EQ(peripheral().responder().download().framesSent, sequence + 1u);
        received.insert(received.end(), block.payload.begin() + 2, block.payload.end() - 1);
        blockSizes.push_back(block.payload.size() - 3);
        send(accept(sequence));
    }
    EXPECT_EQ(received, stream);
    EXPECT_THAT(blockSizes, ElementsAre(122, 122, 72));
    expectNothingMoreSent();
    const DownloadProgress progress = peripheral().responder().download();
    EXPECT_TRUE(progress.finished);
    EXPECT_EQ(progress.framesSent, 3u);
}

TEST_F(Wire, RejectingDataResponseStopsTheTransfer) {
    power();
    send(kDownloadRequest);
    next();
    next();
    send(kReject);
    send(accept(0));  // too late: the transfer is over
    expectNothingMoreSent();
    const DownloadProgress progress = peripheral().responder().download();
    EXPECT_TRUE(progress.rejected);
    EXPECT_FALSE(progress.finished);
    EXPECT_EQ(progress.framesSent, 1u);
}

TEST_F(Wire, NoFileAndErrorStatusAreAnsweredWithTheResponseAlone) {
    for (const std::uint8_t status : {0x01, 0x02}) {
        PeripheralProfile profile = immediateProfile();
        profile.file.status = 0x33;
        profile.file.downloadStatus = status;
        power(profile);
        send(kDownloadRequest);
        EXPECT_THAT(data().read(6), ElementsAre(0x21, 0x00, 0x03, 0x07, 0x33, status));
        expectNothingMoreSent();
        EXPECT_EQ(peripheral().responder().download().framesPlanned, 0u);
    }
}

TEST_F(Wire, ActivatePeripheralIsRecorded) {
    power();
    send({0x0B, 0x03, 0x00});
    send({0x0B, 0x05, 0x00});
    send({0x0B});  // no selector: nothing to record
    expectNothingMoreSent();
    EXPECT_THAT(peripheral().responder().activations(), ElementsAre(3, 5));
}

TEST_F(Wire, UnaskedMessagesCarryTheProfilesStatusBytes) {
    PeripheralProfile profile = immediateProfile();
    profile.unasked = {0x11, 0x22, 0x33};
    power(profile);
    Responder& responder = peripheral().responder();
    ASSERT_TRUE(responder.sendEvent());
    ASSERT_TRUE(responder.sendFileUploadResponse());
    ASSERT_TRUE(responder.sendNull());
    ASSERT_TRUE(responder.sendDataResponse(0x07, 0x01));
    EXPECT_EQ(data().read(22), concat(concat(wire({0x03, 0x11}), wire({0x05, 0x22, 0x33})),
                                      concat(wire({0x00}), wire({0x09, 0x07, 0x01, 0x00}))));
}

// --- Faults ---

PeripheralProfile withFault(Fault fault, std::uint32_t value = 1) {
    PeripheralProfile profile = immediateProfile();
    EXPECT_TRUE(profile.faults.arm(fault, value));
    return profile;
}

// The response and the first block as a peripheral without faults sends them.
Bytes cleanStart(const PeripheralProfile& profile) {
    FaultSet none;
    const DownloadPlan plan(profile.file, none);
    return concat(wire(plan.response()), wire(plan.frames()[0]));
}

TEST_F(Wire, ByteFaultsStrikeTheByteAtTheirOffset) {
    const Bytes clean = cleanStart(immediateProfile());
    constexpr std::size_t kAt = 40;

    power(withFault(Fault::DropByte, kAt));
    send(kDownloadRequest);
    Bytes expected = clean;
    expected.erase(expected.begin() + kAt);
    EXPECT_EQ(data().read(expected.size()), expected);

    power(withFault(Fault::DuplicateByte, kAt));
    send(kDownloadRequest);
    expected = clean;
    expected.insert(expected.begin() + kAt, clean[kAt]);
    EXPECT_EQ(data().read(expected.size()), expected);

    power(withFault(Fault::CorruptByte, kAt));
    send(kDownloadRequest);
    expected = clean;
    expected[kAt] = static_cast<std::uint8_t>(~clean[kAt]);
    EXPECT_EQ(data().read(expected.size()), expected);
}

TEST_F(Wire, WrongSequenceIsOneAheadInTheChosenBlockOnly) {
    power(withFault(Fault::WrongSequence, 1));
    send(kDownloadRequest);
    next();
    EXPECT_EQ(next().payload[1], 0);
    send(accept(0));
    EXPECT_EQ(next().payload[1], 2);
    send(accept(1));
    EXPECT_EQ(next().payload[1], 2);
}

TEST_F(Wire, WrongChecksumAndSizeSurplusChangeOnlyTheAnnouncement) {
    const Bytes stream = transferStream(immediateProfile().file);
    PeripheralProfile profile = withFault(Fault::WrongChecksum);
    profile.faults.arm(Fault::SizeSurplus, 500);
    power(profile);
    send(kDownloadRequest);
    const Frame response = next();
    EXPECT_EQ(u32(response.payload, 3), stream.size() + 500);
    EXPECT_EQ(u32(response.payload, 7), streamChecksum(stream) + 1);
    EXPECT_EQ(peripheral().responder().download().framesPlanned, 9u);  // 1016 bytes, no more
}

TEST_F(Wire, LongFrameCarriesMoreThanAFrameMay) {
    power(withFault(Fault::LongFrame, 200));
    send(kDownloadRequest);
    next();
    const Bytes start = data().read(5);
    EXPECT_THAT(start, ElementsAre(0x21, 0x00, 200, 0x08, 0x00));
    EXPECT_EQ(data().read(198).size(), 198u);
    send(accept(0));
    // The next block goes on from the 198th stream byte.
    const Frame second = next();
    const Bytes stream = transferStream(immediateProfile().file);
    EXPECT_EQ(Bytes(second.payload.begin() + 2, second.payload.begin() + 6),
              Bytes(stream.begin() + 197, stream.begin() + 201));
}

TEST_F(Wire, ShortMessagesAreCutAndStrikeOnce) {
    PeripheralProfile profile = withFault(Fault::ShortVersion);
    profile.faults.arm(Fault::ShortDownload);
    profile.faults.arm(Fault::ShortData);
    power(profile);
    send(kVersionRequest);
    EXPECT_THAT(next().payload, ElementsAre(0x02, 0x00, 0x12));
    send(kVersionRequest);
    EXPECT_EQ(next().payload.size(), 19u);

    send(kDownloadRequest);
    EXPECT_THAT(next().payload, ElementsAre(0x07, 0x00, 0x00));
    EXPECT_THAT(next().payload, ElementsAre(0x08, 0x00));
    send(accept(0));
    const Frame first = next();
    EXPECT_EQ(first.payload.size(), 125u);
    EXPECT_EQ(first.payload[1], 0x00);
    EXPECT_TRUE(peripheral().responder().faults().empty());
}

TEST_F(Wire, RepeatMakesTheFaultsStrikeEveryDownload) {
    PeripheralProfile profile = withFault(Fault::ShortDownload);
    power(profile);
    send(kDownloadRequest);
    EXPECT_EQ(next().payload.size(), 3u);
    next();  // the first block, never acknowledged: a new request starts over
    send(kDownloadRequest);
    EXPECT_EQ(next().payload.size(), 11u);

    profile.faults.arm(Fault::Repeat);
    power(profile);
    for (int download = 0; download < 2; ++download) {
        send(kDownloadRequest);
        EXPECT_EQ(next().payload.size(), 3u);
        next();
    }
}

TEST_F(Wire, VanishingPortFailsTheLibrarysHandleUntilTheNextPowerOn) {
    power(withFault(Fault::VanishAtBlock, 1));
    send(kDownloadRequest);
    next();
    next();
    send(accept(0));
    ASSERT_EQ(next().type, 0xFF);  // the read fails: the port is gone
    EXPECT_TRUE(peripheral().responder().download().vanished);
    EXPECT_EQ(peripheral().dataPortNumber(), 0u);
    EXPECT_TRUE(peripheral().isPowered());
    EXPECT_FALSE(data().write(wire(kVersionRequest)));
}

TEST_F(Wire, APacedLineCarriesTheWholeDownload) {
    PeripheralProfile profile = immediateProfile();
    profile.port.dataBitRate = 115200;
    profile.file.content = generatedContent(400);
    power(profile);
    send(kDownloadRequest);
    next();
    std::size_t received = 0;
    for (std::uint8_t sequence = 0; received < 416; ++sequence) {
        received += next().payload.size() - 3;
        send(accept(sequence));
    }
    EXPECT_EQ(received, 416u);
}

}  // namespace
}  // namespace sim

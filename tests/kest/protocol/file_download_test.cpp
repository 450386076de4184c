// The file transfer: blocks acknowledged one by one, the file written at the end, and every way
// the peripheral's sizes, sequence numbers and names are kept from doing harm.
#include <gtest/gtest.h>
#include <host/files.h>
#include <kest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "failing_array_allocation.h"
#include "protocol_fixture.h"

namespace kest_test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr BYTE kTrailer = 0xEE;  // the last payload byte of a block, not part of the stream

// A transfer stream: the name header (the name, zero-padded to 16 bytes) and the content.
Bytes stream(const std::string& name, const Bytes& content) {
    Bytes header(16, 0x00);
    std::copy_n(name.begin(), std::min<std::size_t>(name.size(), 16), header.begin());
    return concat(header, content);
}

std::uint32_t sumOf(const Bytes& bytes) {
    return std::accumulate(bytes.begin(), bytes.end(), std::uint32_t{0});
}

Bytes announcement(std::uint32_t size, std::uint32_t checksum) {
    return wireFrame(concat(concat({0x07, 0x00, 0x00}, bigEndian(size)), bigEndian(checksum)));
}

Bytes block(BYTE sequence, const Bytes& data) {
    Bytes payload = data;
    payload.insert(payload.begin(), {0x08, sequence});
    payload.push_back(kTrailer);
    return wireFrame(payload);
}

Bytes dataResponse(BYTE sequence, BYTE status) {
    return {0x21, 0x00, 0x04, 0x09, sequence, status, 0x00};
}

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string asText(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

class FileDownload : public ProtocolTest {
  protected:
    FileDownload() { askForDownload(); }

    fs::path downloaded(const std::string& name) const { return root / "QUOX" / "RUV" / name; }

    // Sends the blocks of the stream, `perBlock` stream bytes each, acknowledging nothing.
    void sendBlocks(const Bytes& data, std::size_t perBlock, BYTE firstSequence = 0) {
        BYTE sequence = firstSequence;
        for (std::size_t at = 0; at < data.size(); at += perBlock) {
            const auto end = data.begin() + static_cast<long>(std::min(at + perBlock, data.size()));
            receive(block(sequence++, Bytes(data.begin() + static_cast<long>(at), end)));
        }
    }

    // The last `count` of the lines reported.
    Lines lastLines(std::size_t count) const {
        const Lines all = lines();
        return all.size() < count ? all : Lines(all.end() - static_cast<long>(count), all.end());
    }

    // Every regular file under the root.
    std::vector<fs::path> filesUnderRoot() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_directory()) found.push_back(fs::relative(entry.path(), root));
        }
        return found;
    }

    bool ended() const { return manager().downloadDone.load() != 0; }
};

TEST_F(FileDownload, TheContentAfterTheNameHeaderBecomesTheFile) {
    // Bytes from 0x80 up are summed as the unsigned values they are.
    const Bytes content = {'h', 'e', 'l', 'l', 'o', 0x00, 0x80, 0xFF, 0xC3};
    const Bytes data = stream("abc", content);
    receive(announcement(static_cast<std::uint32_t>(data.size()), sumOf(data)));
    sendBlocks(data, 7);  // the name header is split over three blocks

    EXPECT_EQ(sent(4 * 7), concat(concat(dataResponse(0, 0), dataResponse(1, 0)),
                                  concat(dataResponse(2, 0), dataResponse(3, 0))));
    EXPECT_EQ(lines(), (Lines{"--- RX: FileDownloadResponse Msg ---", "Status: (0x00)",
                              "DownloadStatus: (0x00)", "--------------------------------",
                              "Created file:", "QUOX\\RUV\\abc.bin"}));
    EXPECT_EQ(contentOf(downloaded("abc.bin")), asText(content));
    EXPECT_TRUE(ended());
    EXPECT_EQ(manager().bytesReceived.load(), static_cast<int>(data.size()));
    EXPECT_EQ(manager().downloadBuffer, nullptr);
    EXPECT_EQ(WaitForSingleObject(manager().wakeEvent, 0), WAIT_OBJECT_0);
}

TEST_F(FileDownload, ANameOfSixteenCharactersLeavesTheSeventeenthByteToTheContent) {
    const Bytes data = stream("ABCDEFGHIJKLMNOP", {'Q', 'R'});
    receive(announcement(18, sumOf(data)));
    sendBlocks(data, 18);
    EXPECT_EQ(lastLines(1), (Lines{"QUOX\\RUV\\ABCDEFGHIJKLMNOP.bin"}));
    EXPECT_EQ(contentOf(downloaded("ABCDEFGHIJKLMNOP.bin")), "QR");
}

TEST_F(FileDownload, AnEmptyNameGivesDotBin) {
    const Bytes data = stream("", {'x'});
    receive(announcement(17, sumOf(data)));
    sendBlocks(data, 17);
    EXPECT_EQ(lastLines(1), (Lines{"QUOX\\RUV\\.bin"}));
    EXPECT_EQ(contentOf(downloaded(".bin")), "x");
}

TEST_F(FileDownload, ATransferOfOnlyTheNameHeaderNeverReplacesAnExistingFile) {
    fs::create_directories(downloaded(""));
    std::ofstream(downloaded("cal.bin")) << "old content";
    const Bytes data = stream("cal", {});
    receive(announcement(16, sumOf(data)));
    sendBlocks(data, 16);
    EXPECT_EQ(sent(7), dataResponse(0, 1));
    EXPECT_EQ(lastLines(1), (Lines{"File already exists, aborting download."}));
    EXPECT_EQ(contentOf(downloaded("cal.bin")), "old content");
    EXPECT_TRUE(ended());

    fs::remove(downloaded("cal.bin"));
    askForDownload();
    receive(announcement(16, sumOf(data)));
    sendBlocks(data, 16);
    EXPECT_EQ(sent(7), dataResponse(0, 0));
    EXPECT_EQ(lastLines(2), (Lines{"Created file:", "QUOX\\RUV\\cal.bin"}));
    EXPECT_EQ(fs::file_size(downloaded("cal.bin")), 0u);
}

TEST_F(FileDownload, AnExistingFileIsFoundWithTheFirstBlockAndAborts) {
    fs::create_directories(downloaded(""));
    std::ofstream(downloaded("abc.bin")) << "keep";
    const Bytes data = stream("abc", Bytes(30, 0x11));
    receive(announcement(46, sumOf(data) + 1));
    sendBlocks(data, 23);  // the second block comes after the end and is dropped

    EXPECT_EQ(sent(7), dataResponse(0, 1));
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(lastLines(2), (Lines{"File already exists, aborting download.",
                                   "FileData without a download dropped."}));
    EXPECT_EQ(contentOf(downloaded("abc.bin")), "keep");
    EXPECT_TRUE(ended());
    EXPECT_EQ(manager().bytesReceived.load(), 46);
    EXPECT_EQ(manager().runningChecksum, manager().expectedChecksum);
    EXPECT_EQ(manager().blockSequence, 0);
}

TEST_F(FileDownload, SequenceNumbersWrapAfter255) {
    const Bytes data = stream("wrap", Bytes(241, 0x5A));  // 257 one-byte blocks
    receive(announcement(257, sumOf(data)));
    sendBlocks(data, 1);
    const Bytes acknowledgements = sent(257 * 7);
    ASSERT_EQ(acknowledgements.size(), 257u * 7);
    EXPECT_EQ(Bytes(acknowledgements.begin() + 255 * 7, acknowledgements.begin() + 256 * 7),
              dataResponse(255, 0));
    EXPECT_EQ(Bytes(acknowledgements.end() - 7, acknowledgements.end()), dataResponse(0, 0));
    EXPECT_EQ(contentOf(downloaded("wrap.bin")), std::string(241, 0x5A));
}

TEST_F(FileDownload, AnUnexpectedSequenceNumberIsRejectedAndEndsTheDownload) {
    const Bytes data = stream("seq", Bytes(40, 0x01));
    receive(announcement(56, sumOf(data)));
    sendBlocks(Bytes(data.begin(), data.begin() + 40), 10);  // blocks 0 to 3
    EXPECT_EQ(sent(4 * 7).size(), 4u * 7);
    application.clear();

    receive(block(5, Bytes(16, 0x01)));
    EXPECT_EQ(sent(7), (Bytes{0x21, 0x00, 0x04, 0x09, 0x04, 0x01, 0x00}));
    EXPECT_EQ(lines(), (Lines{"Download File sequence error"}));
    EXPECT_TRUE(ended());
    EXPECT_EQ(manager().bytesReceived.load(), 40);
    EXPECT_FALSE(fs::exists(downloaded("seq.bin")));
}

TEST_F(FileDownload, AChecksumErrorComesAfterTheLastBlockWasAcknowledged) {
    const Bytes data = stream("sum", {1, 2, 3});
    receive(announcement(19, sumOf(data) - 1));
    sendBlocks(data, 19);
    EXPECT_EQ(sent(7), dataResponse(0, 0));
    EXPECT_EQ(lastLines(1), (Lines{"File checksum error"}));
    EXPECT_TRUE(ended());
    EXPECT_TRUE(filesUnderRoot().empty());
}

TEST_F(FileDownload, AnExistingQuoxDirectoryIsUsedWithoutALine) {
    fs::create_directory(root / "QUOX");
    const Bytes data = stream("d", {'z'});
    receive(announcement(17, sumOf(data)));
    sendBlocks(data, 17);
    EXPECT_EQ(lastLines(3),
              (Lines{"--------------------------------", "Created file:", "QUOX\\RUV\\d.bin"}));
    EXPECT_EQ(contentOf(downloaded("d.bin")), "z");
}

TEST_F(FileDownload, ADirectoryThatCannotBeCreatedEndsTheDownload) {
    std::ofstream(root / "QUOX") << "a file where the directory should be";
    const Bytes data = stream("d", {'z'});
    receive(announcement(17, sumOf(data)));
    sendBlocks(data, 17);
    const Lines texts = lastLines(2);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_TRUE(texts[0].starts_with("CreateDirectory(")) << texts[0];
    EXPECT_EQ(texts[1], "Unable to create file path.");
    EXPECT_TRUE(ended());
}

// --- A transfer belongs to the download that asked for it ---

// Plays the application's status handler that closes the library as the file is reported:
// the close ends the transfer while its last block is being written.
TEST_F(FileDownload, ACloseAsTheFileIsWrittenLetsNoLaterBlockTouchIt) {
    const Bytes data = stream("calib", Bytes(584, 0x5C));
    application.onStatus([this](const std::string& text) {
        if (text == "Created file:") manager().forgetDownload();
    });
    receive(announcement(600, sumOf(data)));
    sendBlocks(data, 120);  // blocks 0 to 4
    application.onStatus(nullptr);
    EXPECT_EQ(contentOf(downloaded("calib.bin")), std::string(584, 0x5C));
    EXPECT_FALSE(ended()) << "the end belongs to the session that was closed";

    receive(block(4, {}));  // 08 04 EE: no stream bytes, the last block's sequence number
    EXPECT_EQ(lastLines(1), (Lines{"FileData without a download dropped."}));
    EXPECT_EQ(fs::file_size(downloaded("calib.bin")), 584u);
    EXPECT_FALSE(ended());
}

TEST_F(FileDownload, ACloseInTheMiddleDropsTheRestOfTheTransfer) {
    const Bytes data = stream("two", Bytes(84, 0x21));
    receive(announcement(100, sumOf(data)));
    sendBlocks(Bytes(data.begin(), data.begin() + 40), 40);
    manager().forgetDownload();
    sendBlocks(Bytes(data.begin() + 40, data.end()), 30, 1);
    EXPECT_EQ(lastLines(2), (Lines{"FileData without a download dropped.",
                                   "FileData without a download dropped."}));
    EXPECT_TRUE(filesUnderRoot().empty());
    EXPECT_FALSE(ended());
    EXPECT_EQ(manager().downloadBuffer, nullptr);
}

// A late end of a transfer (here its "Created file:") finds the next download started.
TEST_F(FileDownload, TheEndOfAnEarlierTransferDoesNotEndTheNextDownload) {
    const Bytes data = stream("late", {'1'});
    application.onStatus([this](const std::string& text) {
        if (text == "Created file:") {
            manager().setState(KEST_STATE_READY);
            manager().downloadStep();  // the next download, asked for after a power cycle
        }
    });
    receive(announcement(17, sumOf(data)));
    sendBlocks(data, 17);
    application.onStatus(nullptr);
    EXPECT_EQ(contentOf(downloaded("late.bin")), "1");
    EXPECT_FALSE(ended());
    EXPECT_EQ(manager().currentState.load(), KEST_STATE_DOWNLOADING);
}

TEST_F(FileDownload, UnaskedAnnouncementsAndBlocksLeaveNoTrace) {
    const Bytes data = stream("asked", {'a'});
    receive(announcement(17, sumOf(data)));
    sendBlocks(data, 17);
    ASSERT_TRUE(ended());
    EXPECT_EQ(sent(7), dataResponse(0, 0));
    application.clear();

    const Bytes other = stream("unasked", Bytes(300, 0x01));
    receive(announcement(316, sumOf(other)));
    receive(wireFrame({0x07, 0x00, 0x01}));
    sendBlocks(other, 100);
    EXPECT_EQ(lines(),
              (Lines{"--- RX: FileDownloadResponse Msg ---", "Status: (0x00)",
                     "DownloadStatus: (0x00)", "--------------------------------",
                     "FileDownloadResponse without a request dropped.",
                     "--- RX: FileDownloadResponse Msg ---", "Status: (0x00)",
                     "DownloadStatus: (0x01)", "--------------------------------",
                     "FileDownloadResponse without a request dropped.",
                     "FileData without a download dropped.", "FileData without a download dropped.",
                     "FileData without a download dropped.", "FileData without a download dropped."}));
    int received = 0;
    int total = 0;
    EXPECT_EQ(KEST_GetDownloadInfo(nullptr, &received, &total), KEST_OK);
    EXPECT_EQ(received, 17);
    EXPECT_EQ(total, 17);
    EXPECT_EQ(filesUnderRoot(), (std::vector<fs::path>{"QUOX/RUV/asked.bin"}));
    EXPECT_TRUE(nothingSent());

    // A session that never asked takes nothing either.
    manager().forgetDownload();
    receive(announcement(316, sumOf(other)));
    sendBlocks(other, 100);
    receive(wireFrame({0x07, 0x00, 0x01}));
    EXPECT_FALSE(ended());
    EXPECT_EQ(filesUnderRoot(), (std::vector<fs::path>{"QUOX/RUV/asked.bin"}));
}

// The peripheral's retry: a second announcement starts the transfer again from block 0.
TEST_F(FileDownload, ASecondAnnouncementRestartsTheTransfer) {
    const Bytes first = stream("retry", Bytes(50, 0x0F));
    receive(announcement(66, sumOf(first)));
    sendBlocks(Bytes(first.begin(), first.begin() + 30), 30);
    EXPECT_EQ(sent(7), dataResponse(0, 0));

    const Bytes second = stream("retry", Bytes(20, 0xF0));
    receive(announcement(36, sumOf(second)));
    EXPECT_EQ(lastLines(1), (Lines{"Download restarted by the peripheral."}));
    sendBlocks(second, 20);
    EXPECT_EQ(sent(14), concat(dataResponse(0, 0), dataResponse(1, 0)));
    EXPECT_EQ(contentOf(downloaded("retry.bin")), std::string(20, '\xF0'));
    EXPECT_EQ(manager().bytesReceived.load(), 36);
}

// KEST_GetDownloadInfo takes the flag and both counts of one transfer: downloads of two sizes,
// one after the other, against a reader that never pauses.
TEST_F(FileDownload, DownloadInfoNeverMixesTwoTransfers) {
    const Bytes small = stream("small", Bytes(4, 0x01));
    const Bytes large = stream("large", Bytes(184, 0x02));
    const auto belongsToOne = [](int result, int received, int total) {
        const bool knownSize = total == 0 || total == 20 || total == 200;
        return knownSize && (result == KEST_OK ? received == total && total != 0 : received <= total);
    };
    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0};
    std::thread reader([&] {
        while (!stop) {
            int received = 0;
            int total = 0;
            const int result = KEST_GetDownloadInfo(nullptr, &received, &total);
            if (!belongsToOne(result, received, total)) ++mixed;
        }
    });
    for (int round = 0; round < 2000 && mixed == 0; ++round) {
        const Bytes& data = round % 2 == 0 ? small : large;
        askForDownload();
        receive(announcement(static_cast<std::uint32_t>(data.size()), sumOf(data)));
        sendBlocks(data, 100);
        sent(line->pendingForPeer());
    }
    stop = true;
    reader.join();
    EXPECT_EQ(mixed.load(), 0);
}

// --- The file is written whole or not at all ---

TEST_F(FileDownload, AWriteTheFileSystemCutsLeavesNoFile) {
    const Bytes data = stream("cut", Bytes(20000, 0x7E));
    host::files::setFileSizeLimit(4096);
    receive(announcement(20016, sumOf(data)));
    sendBlocks(data, 122);
    host::files::setFileSizeLimit(host::files::kNoFileSizeLimit);
    EXPECT_EQ(lastLines(1), (Lines{"WriteFile failed: 112"}));
    EXPECT_TRUE(ended());
    EXPECT_EQ(filesUnderRoot(), std::vector<fs::path>{});

    askForDownload();
    receive(announcement(20016, sumOf(data)));
    sendBlocks(data, 122);
    EXPECT_EQ(lastLines(2), (Lines{"Created file:", "QUOX\\RUV\\cut.bin"}));
    EXPECT_EQ(fs::file_size(downloaded("cut.bin")), 20000u);
}

TEST_F(FileDownload, ALeftoverOfAWriteCutByPowerLossIsRemovedAndNeverTakenForTheFile) {
    fs::create_directories(downloaded(""));
    std::ofstream(downloaded("cal.tmp")) << "half";
    const Bytes data = stream("cal", Bytes(40, 0x44));
    receive(announcement(56, sumOf(data) + 1));  // this download fails its checksum
    sendBlocks(data, 56);
    EXPECT_EQ(lastLines(1), (Lines{"File checksum error"}));
    EXPECT_EQ(filesUnderRoot(), std::vector<fs::path>{});
}

// --- What the peripheral must not be able to do ---

TEST_F(FileDownload, ABlockPastTheAnnouncedSizeIsRefusedAndEndsTheDownload) {
    const Bytes data = stream("big", Bytes(4, 0x22));
    receive(announcement(20, sumOf(data)));
    sendBlocks(Bytes(data.begin(), data.begin() + 16), 16);
    receive(block(1, Bytes(5, 0x22)));  // one byte more than announced
    EXPECT_EQ(sent(14), concat(dataResponse(0, 0), dataResponse(1, 1)));
    EXPECT_EQ(lastLines(1), (Lines{"Download File larger than announced"}));
    EXPECT_TRUE(ended());
    EXPECT_EQ(manager().bytesReceived.load(), 16);
    EXPECT_EQ(manager().writeIndex, 16);
    EXPECT_TRUE(filesUnderRoot().empty());
}

TEST_F(FileDownload, BlocksWithoutAnOpenTransferAreDroppedUnanswered) {
    receive(block(0, Bytes(20, 0x33)));  // nothing announced yet
    EXPECT_EQ(lines(), (Lines{"FileData without a download dropped."}));
    EXPECT_FALSE(ended());

    const Bytes data = stream("once", {'1'});
    receive(announcement(17, sumOf(data)));
    sendBlocks(data, 17);
    EXPECT_EQ(sent(7), dataResponse(0, 0));
    application.clear();
    receive(block(1, {'2'}));  // after the end
    EXPECT_EQ(lines(), (Lines{"FileData without a download dropped."}));
    EXPECT_TRUE(nothingSent());
    EXPECT_EQ(contentOf(downloaded("once.bin")), "1");
}

TEST_F(FileDownload, AFileDataShorterThanThreeBytesLeavesTheCountersAlone) {
    receive(announcement(20, 0));
    receive(wireFrame({0x08, 0x00}));
    receive(wireFrame({0x08}));
    EXPECT_EQ(lastLines(2), (Lines{"FileData too short: 2 bytes", "FileData too short: 1 bytes"}));
    EXPECT_EQ(manager().bytesReceived.load(), 0);
    EXPECT_EQ(manager().writeIndex, 0);
    EXPECT_EQ(manager().blockSequence, 0);
    EXPECT_TRUE(nothingSent());
    EXPECT_FALSE(ended());
}

TEST_F(FileDownload, SizesThatCannotHoldTheNameHeaderOrDoNotFitAreRefused) {
    receive(announcement(15, 0));
    EXPECT_EQ(lastLines(1), (Lines{"Download size too small: 15"}));
    EXPECT_TRUE(ended());
    EXPECT_EQ(manager().downloadBuffer, nullptr);
    receive(block(0, Bytes(15, 0x01)));
    EXPECT_TRUE(nothingSent());

    askForDownload();
    receive(announcement(0x80000000u, 0));
    EXPECT_EQ(lastLines(1), (Lines{"Download size too large: 2147483648"}));
    EXPECT_TRUE(ended());
    EXPECT_EQ(manager().fileSize.load(), 0);
    EXPECT_EQ(manager().downloadBuffer, nullptr);
}

TEST_F(FileDownload, ABufferThatCannotBeAllocatedEndsTheDownload) {
    if (!kArrayFailureAvailable) GTEST_SKIP() << "allocation operators are the sanitizer's";
    failNextArrayAllocation();
    receive(announcement(4096, 0));
    EXPECT_EQ(lastLines(1), (Lines{"No memory for a download of 4096 bytes"}));
    EXPECT_TRUE(ended());
    EXPECT_EQ(manager().transferOpen.load(), 0);
    receive(block(0, Bytes(20, 0x01)));
    EXPECT_TRUE(nothingSent());
}

class HostileName : public FileDownload, public ::testing::WithParamInterface<std::string> {};

TEST_P(HostileName, IsRefusedBeforeAnythingIsCreated) {
    const Bytes data = stream(GetParam(), Bytes(8, 0x44));
    receive(announcement(24, sumOf(data)));
    sendBlocks(data, 24);
    EXPECT_EQ(sent(7), dataResponse(0, 1));
    EXPECT_EQ(lastLines(1), (Lines{"File name not allowed, aborting download."}));
    EXPECT_TRUE(ended());
    EXPECT_STREQ(manager().downloadPath, "");
    EXPECT_TRUE(filesUnderRoot().empty());
    EXPECT_FALSE(fs::exists(root / "QUOX"));
}

// Built from its bytes: some hold a zero-free control character.
INSTANTIATE_TEST_SUITE_P(Names, HostileName,
                         ::testing::Values("..\\x", "..\\..\\evil", "a/b", "../up", "C:x", "\\abs",
                                           "tab\there", std::string("bell\x07"), "ask?", "st*r",
                                           "q\"uote", "<in>", "pi|pe",
                                           // over-long "..\", "/" and NUL, a surrogate, and a
                                           // code point above U+10FFFF
                                           "\xC0\xAE\xC0\xAE\xC1\x9Cup", "a\xC0\xAF" "b",
                                           std::string("a\xC0\x80", 3), "\xED\xA0\x80x",
                                           "\xF4\x90\x80\x80x",
                                           // C1 controls, bidirectional controls (U+202E
                                           // would list "txt.bin" as "nib.txt"), invisible
                                           // characters and non-characters, at both ends of
                                           // each range
                                           "a\xC2\x80", "a\xC2\x9F", "\xD8\x9C", "\xE2\x80\x8E",
                                           "\xE2\x80\x8F", "\xE2\x80\xAAx", "\xE2\x80\xAEtxt",
                                           "\xE2\x81\xA6", "\xE2\x81\xA9", "so\xC2\xAD" "ft",
                                           "\xE2\x80\x8B", "\xE2\x80\x8D", "\xE2\x80\xA8",
                                           "\xE2\x80\xA9", "\xE2\x81\xA0", "\xE2\x81\xA4",
                                           "\xEF\xBB\xBF", "\xEF\xB7\x90", "\xEF\xB7\xAF",
                                           "\xEF\xBF\xBE", "\xEF\xBF\xBF"));

TEST_F(FileDownload, CharactersBesideTheRefusedRangesAreTaken) {
    // U+00A0, U+061B, U+200A, U+2065, U+FDCF: neighbours of refused ranges.
    const std::string name = "\xC2\xA0\xD8\x9B\xE2\x80\x8A\xE2\x81\xA5\xEF\xB7\x8F";
    const Bytes data = stream(name, {'k'});
    receive(announcement(17, sumOf(data)));
    sendBlocks(data, 17);
    EXPECT_EQ(lastLines(1), (Lines{"QUOX\\RUV\\" + name + ".bin"}));
    EXPECT_EQ(contentOf(downloaded(name + ".bin")), "k");
}

TEST_F(FileDownload, AHostileNameInAHeaderOnlyTransferIsRefusedBeforeItsAcknowledgement) {
    const Bytes data = stream("x/y", {});
    receive(announcement(16, sumOf(data)));
    sendBlocks(data, 16);
    EXPECT_EQ(sent(7), dataResponse(0, 1));
    EXPECT_EQ(lastLines(1), (Lines{"File name not allowed, aborting download."}));
    EXPECT_TRUE(filesUnderRoot().empty());
}

}  // namespace
}  // namespace kest_test

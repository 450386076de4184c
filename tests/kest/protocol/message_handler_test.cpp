// The received messages: their log blocks, the fields they store, and what is ignored.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "protocol_fixture.h"

namespace kest_test {
namespace {

using Lines = std::vector<std::string>;

// A VersionResponse: code, Status, version byte, 12 text bytes, serial number.
Bytes versionResponse(BYTE status, BYTE version, const std::string& text12, std::uint32_t serial) {
    Bytes payload(text12.begin(), text12.end());
    payload.insert(payload.begin(), {0x02, status, version});
    return concat(payload, bigEndian(serial));
}

bool wakeEventSet(kest::DeviceManager& m) {
    return WaitForSingleObject(m.wakeEvent, 0) == WAIT_OBJECT_0;
}

class MessageHandler : public ProtocolTest {
  protected:
    MessageHandler() {
        EventModify(manager().wakeEvent, EVENT_RESET);
        application.clear();
    }
};

TEST_F(MessageHandler, VersionResponseStoresAndLogsTheVersion) {
    receive(wireFrame(versionResponse(0x05, 0x1A, std::string("KEST-R2\0\0\0\0\0", 12), 0xABCD)));
    EXPECT_EQ(lines(), (Lines{"--- RX: VersionResponse Msg ---", "Version: 1.10 (KEST-R2)",
                              "SerialNum: 0x0000ABCD", "Status: (0x05)",
                              "-------------------------------"}));
    EXPECT_EQ(manager().versionReceived.load(), 1);
    EXPECT_EQ(manager().versionMajor, 1);
    EXPECT_EQ(manager().versionMinor, 10u);
    EXPECT_EQ(manager().serialNumber, 43981);
    EXPECT_EQ(manager().lastStatus, 0x05);
    EXPECT_TRUE(wakeEventSet(manager()));
}

TEST_F(MessageHandler, TwelveTextBytesWithoutAZeroAreTerminatedByTheLibrary) {
    receive(wireFrame(versionResponse(0x00, 0xF0, "ABCDEFGHIJKL", 0xFFFFFFFF)));
    EXPECT_STREQ(manager().versionText, "ABCDEFGHIJKL");
    const Lines texts = lines();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[1], "Version: 15.0 (ABCDEFGHIJKL)");
    EXPECT_EQ(texts[2], "SerialNum: 0xFFFFFFFF");
}

TEST_F(MessageHandler, AFrameOfAnotherTypeChangesNothing) {
    Bytes wire = wireFrame(versionResponse(0x00, 0x1A, "ABCDEFGHIJKL", 1));
    wire[1] = 0x01;
    receive(wire);
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(manager().versionReceived.load(), 0);
    EXPECT_EQ(manager().versionMajor, 0);
    EXPECT_FALSE(wakeEventSet(manager()));
}

TEST_F(MessageHandler, CodesThatDoNotTravelFromThePeripheralAreIgnored) {
    Bytes codes = {0x01, 0x04, 0x06, 0x0A, 0x0B};
    for (int code = 0x0C; code <= 0xFF; ++code) codes.push_back(static_cast<BYTE>(code));
    for (BYTE code : codes) {
        // Long enough for any layout, so that only the code decides.
        Bytes payload(24, 0x01);
        payload[0] = code;
        receive(wireFrame(payload));
    }
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(manager().lastStatus, 0);
    EXPECT_EQ(manager().downloadDone.load(), 0);
    EXPECT_TRUE(nothingSent());
}

TEST_F(MessageHandler, AFrameWithAnEmptyPayloadIsIgnored) {
    receive({0x21, 0x00, 0x00});
    EXPECT_TRUE(lines().empty());
}

TEST_F(MessageHandler, NullAndDataResponseAreLoggedOnly) {
    receive(concat(wireFrame({0x00}), wireFrame({0x09, 0x03, 0x00, 0x00})));
    EXPECT_EQ(lines(),
              (Lines{"--- RX: Null Msg ---", "--------------------",
                     "--- RX: DataResponse Msg ----", "--------------------------------"}));
    EXPECT_EQ(manager().blockSequence, 0);
    EXPECT_EQ(manager().downloadDone.load(), 0);
}

TEST_F(MessageHandler, EventAndFileUploadResponseLogTheirStatus) {
    receive(wireFrame({0x03, 0x7F}));
    EXPECT_EQ(manager().lastStatus, 0x7F);
    receive(wireFrame({0x05, 0x0C, 0xA0}));
    EXPECT_EQ(manager().lastStatus, 0x0C);
    EXPECT_EQ(lines(), (Lines{"--- RX: Event Msg ---", "Status: (0x7F)", "---------------------",
                              "--- RX: FileUploadResponse Msg ---", "Status: (0x0C)",
                              "UploadStatus: (0xA0)", "----------------------------------"}));
    EXPECT_FALSE(wakeEventSet(manager()));
}

TEST_F(MessageHandler, DownloadStatusOneOrOtherEndsTheDownload) {
    askForDownload();
    receive(wireFrame({0x07, 0x00, 0x01}));
    EXPECT_EQ(lines(), (Lines{"--- RX: FileDownloadResponse Msg ---", "Status: (0x00)",
                              "DownloadStatus: (0x01)", "--------------------------------",
                              "No file to download"}));
    EXPECT_EQ(manager().downloadDone.load(), 1);
    EXPECT_TRUE(wakeEventSet(manager()));

    askForDownload();
    receive(wireFrame({0x07, 0x03, 0x02}));
    EXPECT_EQ(lines(), (Lines{"--- RX: FileDownloadResponse Msg ---", "Status: (0x03)",
                              "DownloadStatus: (0x02)", "--------------------------------",
                              "Unknown error"}));
    EXPECT_EQ(manager().downloadDone.load(), 1);
    EXPECT_EQ(manager().lastStatus, 0x03);
}

// Messages shorter than their layout are rejected whole, each with its own text.
TEST_F(MessageHandler, ShortMessagesAreRejectedWithoutReadingPastThem) {
    Bytes version = versionResponse(0x09, 0x1A, "ABCDEFGHIJKL", 0x01020304);
    version.pop_back();
    receive(wireFrame(version));
    receive(wireFrame({0x03}));
    receive(wireFrame({0x05, 0x01}));
    EXPECT_EQ(lines(), (Lines{"VersionResponse too short: 18 bytes", "Event too short: 1 bytes",
                              "FileUploadResponse too short: 2 bytes"}));
    EXPECT_EQ(manager().versionReceived.load(), 0);
    EXPECT_EQ(manager().versionMajor, 0);
    EXPECT_EQ(manager().serialNumber, 0);
    EXPECT_EQ(manager().lastStatus, 0);
    EXPECT_FALSE(wakeEventSet(manager()));
}

// A download response the transfer cannot start from ends the download rather than leave it
// waiting for blocks that will not come.
TEST_F(MessageHandler, AShortDownloadResponseEndsTheDownload) {
    askForDownload();
    receive(wireFrame({0x07, 0x00}));
    EXPECT_EQ(lines(),
              (Lines{"FileDownloadResponse too short: 2 bytes", "Download response rejected."}));
    EXPECT_EQ(manager().downloadDone.load(), 1);

    askForDownload();
    receive(wireFrame({0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00}));
    const Lines texts = lines();
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts[2], "DownloadStatus: (0x00)");
    EXPECT_EQ(texts[4], "FileDownloadResponse too short: 10 bytes");
    EXPECT_EQ(texts[5], "Download response rejected.");
    EXPECT_EQ(manager().downloadDone.load(), 1);
    EXPECT_EQ(manager().transferOpen.load(), 0);
    EXPECT_EQ(manager().fileSize.load(), 0);
}

}  // namespace
}  // namespace kest_test

// The version and download steps as the manager's passes run them, and the requests on the wire.
#include <gtest/gtest.h>
#include <kest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol_fixture.h"

namespace kest_test {
namespace {

using kest::kStepDone;
using kest::kStepFailed;
using kest::kStepInProgress;
using Lines = std::vector<std::string>;

class Steps : public ProtocolTest {
  protected:
    Steps() {
        manager().setState(KEST_STATE_READY);
        application.clear();
    }
};

TEST_F(Steps, VersionStepAsksOnceAndFinishesWhenTheResponseIsIn) {
    manager().versionMajor = 3;
    manager().serialNumber = 77;
    std::strcpy(manager().versionText, "old");

    EXPECT_EQ(manager().versionStep(), kStepInProgress);
    EXPECT_EQ(sent(5), (Bytes{0x21, 0x00, 0x02, 0x01, 0x00}));
    EXPECT_EQ(manager().currentState.load(), KEST_STATE_VERSION_PENDING);
    EXPECT_EQ(manager().versionMajor, 0);
    EXPECT_EQ(manager().serialNumber, 0);
    EXPECT_STREQ(manager().versionText, "");
    EXPECT_EQ(lines(), (Lines{"Requesting version information ...", "KEST state changed: 4 => 6"}));

    // Nothing is sent again while the response is awaited.
    EXPECT_EQ(manager().versionStep(), kStepInProgress);
    EXPECT_TRUE(nothingSent());

    manager().versionReceived = 1;
    EXPECT_EQ(manager().versionStep(), kStepDone);
    EXPECT_EQ(manager().currentState.load(), KEST_STATE_READY);
}

TEST_F(Steps, VersionStepWaitsDuringADownloadAndFailsElsewhere) {
    manager().setState(KEST_STATE_DOWNLOADING);
    EXPECT_EQ(manager().versionStep(), kStepInProgress);
    manager().setState(KEST_STATE_POWERED);
    EXPECT_EQ(manager().versionStep(), kStepFailed);
    EXPECT_TRUE(nothingSent());
}

TEST_F(Steps, DownloadStepClearsTheTransferAsksOnceAndRepeatsItsState) {
    kest::DeviceManager& m = manager();
    m.fileSize = 40;
    m.bytesReceived = 20;
    m.blockSequence = 9;
    m.runningChecksum = 5;
    m.expectedChecksum = 6;
    m.writeIndex = 20;
    std::strcpy(m.downloadPath, "QUOX\\RUV\\old.bin");
    m.downloadBuffer.reset(new BYTE[40]);
    m.transferOpen = 1;

    EXPECT_EQ(m.downloadStep(), kStepInProgress);
    EXPECT_EQ(sent(5), (Bytes{0x21, 0x00, 0x02, 0x06, 0x00}));
    EXPECT_EQ(m.currentState.load(), KEST_STATE_DOWNLOADING);
    EXPECT_EQ(m.fileSize.load(), 0);
    EXPECT_EQ(m.bytesReceived.load(), 0);
    EXPECT_EQ(m.blockSequence, 0);
    EXPECT_EQ(m.runningChecksum, 0u);
    EXPECT_EQ(m.expectedChecksum, 0u);
    EXPECT_EQ(m.writeIndex, 0);
    EXPECT_STREQ(m.downloadPath, "");
    EXPECT_EQ(m.downloadBuffer, nullptr);
    EXPECT_EQ(m.transferOpen.load(), 0);
    EXPECT_EQ(lines(),
              (Lines{"Requesting calibration download ...", "KEST state changed: 4 => 7"}));

    // Later passes only tell the observers the unchanged state again.
    application.clear();
    EXPECT_EQ(m.downloadStep(), kStepInProgress);
    EXPECT_TRUE(nothingSent());
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(application.states(), (std::vector<int>{KEST_STATE_DOWNLOADING}));

    m.downloadDone = 1;
    EXPECT_EQ(m.downloadStep(), kStepDone);
}

TEST_F(Steps, DownloadStepWaitsForTheVersionAndFailsElsewhere) {
    manager().setState(KEST_STATE_VERSION_PENDING);
    EXPECT_EQ(manager().downloadStep(), kStepInProgress);
    manager().setState(KEST_STATE_POWERED_OFF);
    EXPECT_EQ(manager().downloadStep(), kStepFailed);
    EXPECT_TRUE(nothingSent());
}

TEST_F(Steps, DataResponseCarriesTheSequenceAndTheStatus) {
    manager().sendDataResponse(0xFE, 1);
    EXPECT_EQ(sent(7), (Bytes{0x21, 0x00, 0x04, 0x09, 0xFE, 0x01, 0x00}));
    EXPECT_TRUE(lines().empty());
}

TEST_F(Steps, WithTheDataPortClosedNothingIsWrittenOrReported) {
    closeDataPort();
    manager().sendVersionRequest();
    manager().sendFileDownloadRequest();
    manager().sendDataResponse(0, 0);
    EXPECT_TRUE(nothingSent());
    EXPECT_TRUE(lines().empty());
}

}  // namespace
}  // namespace kest_test

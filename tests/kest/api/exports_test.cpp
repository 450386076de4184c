#include <gtest/gtest.h>
#include <kest.h>

#include <cstring>
#include <future>

#include "application_recorder.h"
#include "attached_library.h"
#include "manager/application_bridge.h"
#include "manager/device_manager.h"
#include "wait_until.h"

namespace {

using kest_test::ApplicationRecorder;
using kest_test::AttachedLibrary;
using kest_test::waitUntil;

void ignoreState(int) {}
void ignoreStatus(const char*) {}

TEST(ExportsWithoutLibrary, StatusFunctionsReturnNoDeviceAndGettersZero) {
    int major = -1, minor = -1, received = -1, total = -1;
    char text[13] = "untouched";
    unsigned char onSuspend = 9, onCradle = 9;

    EXPECT_EQ(KEST_AddStateChangeHandler(ignoreState), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_AddStatusMessageHandler(ignoreStatus), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_RemoveStateChangeHandler(), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_RemoveStatusMessageHandler(), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_Open(1, 1, 10), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_Close(), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_Enable(1), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_Disable(), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_DownloadFile(), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_GetVersionInfo(&major, &minor, text), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_GetDownloadInfo(nullptr, &received, &total), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_GetAutoRecover(&onSuspend, &onCradle), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_SetAutoRecover(1, 1), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_SetDownloadReq(1), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_SetTimeout(5), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_SetVersionReq(1), KEST_NO_DEVICE);

    EXPECT_EQ(KEST_GetState(), 0);
    EXPECT_EQ(KEST_GetTimeout(), 0);
    EXPECT_EQ(KEST_GetDownloadReq(), 0);
    EXPECT_EQ(KEST_GetVersionReq(), 0);

    EXPECT_EQ(major, -1);
    EXPECT_EQ(received, -1);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(onSuspend, 9);
}

class Exports : public ::testing::Test {
  protected:
    kest::DeviceManager& manager() { return library.manager(); }

    AttachedLibrary library;
    ApplicationRecorder application;
};

TEST_F(Exports, GettersShowTheDefaults) {
    unsigned char onSuspend = 9, onCradle = 9;
    EXPECT_EQ(KEST_GetState(), KEST_STATE_CLOSED);
    EXPECT_EQ(KEST_GetTimeout(), 0);
    EXPECT_EQ(KEST_GetDownloadReq(), 1);
    EXPECT_EQ(KEST_GetVersionReq(), 0);
    EXPECT_EQ(KEST_GetAutoRecover(&onSuspend, &onCradle), KEST_OK);
    EXPECT_EQ(onSuspend, 0);
    EXPECT_EQ(onCradle, 0);
}

TEST_F(Exports, SettersStoreWhatGettersReturn) {
    EXPECT_EQ(KEST_SetTimeout(-3), KEST_OK);
    EXPECT_EQ(KEST_GetTimeout(), -3);
    EXPECT_EQ(KEST_SetVersionReq(0xFF), KEST_OK);
    EXPECT_EQ(KEST_GetVersionReq(), 255) << "stored as one byte";
    EXPECT_EQ(KEST_SetDownloadReq(0), KEST_OK);
    EXPECT_EQ(KEST_GetDownloadReq(), 0);
    EXPECT_EQ(KEST_SetAutoRecover(1, 0), KEST_OK);
    unsigned char onSuspend = 9, onCradle = 9;
    EXPECT_EQ(KEST_GetAutoRecover(&onSuspend, &onCradle), KEST_OK);
    EXPECT_EQ(onSuspend, 1);
    EXPECT_EQ(onCradle, 0);
    EXPECT_EQ(manager().autoRecoverOnSuspend.load(), 1);
}

TEST_F(Exports, HandlersAreReplacedAndRemoved) {
    EXPECT_EQ(KEST_AddStateChangeHandler(ignoreState), KEST_OK);
    EXPECT_EQ(kest::applicationStateHandler.load(), &ignoreState);
    EXPECT_EQ(KEST_AddStatusMessageHandler(ignoreStatus), KEST_OK);
    EXPECT_EQ(kest::applicationStatusHandler.load(), &ignoreStatus);
    EXPECT_EQ(KEST_RemoveStateChangeHandler(), KEST_OK);
    EXPECT_EQ(KEST_RemoveStateChangeHandler(), KEST_OK) << "none registered";
    EXPECT_EQ(KEST_RemoveStatusMessageHandler(), KEST_OK);
    EXPECT_EQ(kest::applicationStateHandler.load(), nullptr);
    EXPECT_EQ(kest::applicationStatusHandler.load(), nullptr);
}

TEST_F(Exports, OpenStoresItsSettingsAndAZeroTimeOutReturnsAtOnce) {
    EXPECT_EQ(KEST_Open(1, 0, 0), KEST_NOT_DONE);
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_READY));
    EXPECT_EQ(KEST_GetVersionReq(), 1);
    EXPECT_EQ(KEST_GetDownloadReq(), 0);
    EXPECT_EQ(KEST_GetTimeout(), 0);
    EXPECT_EQ(application.statusCount("Request timed out."), 0);
}

// Starts KEST_Open on its own thread; once it waits, asks for the closed state (which the
// peripheral is in) so that the open is fulfilled by the next pass.
int openFulfilledByAClose(kest::DeviceManager& manager, int timeoutSeconds) {
    const std::uint32_t before = manager.requestGeneration.load();
    std::future<int> open =
        std::async(std::launch::async, [=] { return KEST_Open(0, 0, timeoutSeconds); });
    EXPECT_TRUE(waitUntil([&] { return manager.requestGeneration.load() != before; }));
    EXPECT_EQ(KEST_Close(), KEST_BUSY);
    EventModify(manager.wakeEvent, EVENT_SET);  // a busy request does not wake the manager
    return open.get();
}

TEST_F(Exports, OpenTimeOutBecomesTheDefault) {
    EXPECT_EQ(openFulfilledByAClose(manager(), 5), KEST_OK);
    EXPECT_EQ(KEST_GetTimeout(), 5);
}

TEST_F(Exports, CloseAndDisableDoNotWait) {
    EXPECT_EQ(KEST_Disable(), KEST_NOT_DONE) << "the ready state is never reached at once";
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_READY));
    const int closed = KEST_Close();
    EXPECT_TRUE(closed == KEST_OK || closed == KEST_NOT_DONE) << closed;
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_CLOSED));
    EXPECT_EQ(application.statusCount("Request timed out."), 0);
}

struct EnableCase {
    int type;
    DWORD requested;
};

class EnableType : public Exports, public ::testing::WithParamInterface<EnableCase> {};

TEST_P(EnableType, SelectsTheRequestedState) {
    // With the default time-out of 0 seconds the request returns at once.
    EXPECT_EQ(KEST_Enable(GetParam().type), KEST_NOT_DONE);
    EXPECT_EQ(manager().requestedState.load(), GetParam().requested);
    EXPECT_EQ(application.statusCount("Request timed out."), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Exports, EnableType,
    ::testing::Values(EnableCase{1, KEST_STATE_ENABLED_1}, EnableCase{2, KEST_STATE_ENABLED_2},
                      EnableCase{3, KEST_STATE_ENABLED_3}, EnableCase{0, KEST_STATE_READY},
                      EnableCase{4, KEST_STATE_READY}, EnableCase{7, KEST_STATE_READY},
                      EnableCase{-1, KEST_STATE_READY}));

TEST_F(Exports, DownloadFileAfterAnEndedDownloadReturnsAtOnce) {
    KEST_SetDownloadReq(0);
    manager().downloadDone.store(1);
    EXPECT_EQ(KEST_DownloadFile(), KEST_OK);
    EXPECT_EQ(KEST_GetDownloadReq(), 1);
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_CLOSED))
        << "no new request";
}

TEST_F(Exports, DownloadFileRequestsTheReadyState) {
    KEST_SetDownloadReq(0);
    EXPECT_EQ(KEST_DownloadFile(), KEST_NOT_DONE);
    EXPECT_EQ(KEST_GetDownloadReq(), 1);
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_READY));
}

TEST_F(Exports, DownloadInfoReportsTheCountsAndWhetherTheDownloadEnded) {
    manager().bytesReceived = 300;
    manager().fileSize = 1024;
    int received = 0, total = 0;
    EXPECT_EQ(KEST_GetDownloadInfo(nullptr, &received, &total), KEST_NOT_DONE);
    EXPECT_EQ(received, 300);
    EXPECT_EQ(total, 1024);
    manager().downloadDone.store(1);
    EXPECT_EQ(KEST_GetDownloadInfo(&received, nullptr, nullptr), KEST_OK);
}

TEST_F(Exports, VersionInfoWithoutAVersionAsksForItAndReturnsNotDone) {
    int major = -1;
    EXPECT_EQ(KEST_GetVersionInfo(&major, nullptr, nullptr), KEST_NOT_DONE);
    EXPECT_EQ(major, -1);
    EXPECT_EQ(KEST_GetVersionReq(), 1) << "stays set";
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_READY));
    EXPECT_EQ(KEST_GetVersionInfo(nullptr, nullptr, nullptr), KEST_NOT_DONE);
}

TEST_F(Exports, VersionInfoCopiesAKnownVersion) {
    manager().versionMajor = 3;
    manager().versionMinor = 14;
    std::memcpy(manager().versionText, "ABCDEFGHIJKL", 13);
    manager().versionReceived.store(1);

    int major = 0, minor = 0;
    char text[16];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(KEST_GetVersionInfo(&major, &minor, text), KEST_OK);
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 14);
    EXPECT_STREQ(text, "ABCDEFGHIJKL");
    EXPECT_EQ(text[13], '#') << "at most 13 bytes are written";
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_CLOSED))
        << "a known version needs no request";
    EXPECT_EQ(KEST_GetVersionInfo(nullptr, nullptr, nullptr), KEST_OK);
}

TEST_F(Exports, ANegativeOpenTimeOutWaitsUntilTheRequestIsMet) {
    EXPECT_EQ(openFulfilledByAClose(manager(), -1), KEST_OK);
    EXPECT_EQ(application.statusCount("Request timed out."), 0);
    EXPECT_EQ(KEST_GetTimeout(), -1);
}

}  // namespace

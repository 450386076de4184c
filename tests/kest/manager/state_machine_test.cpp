#include <gtest/gtest.h>
#include <kest.h>

#include <string>
#include <vector>

#include "application_recorder.h"
#include "attached_library.h"
#include "manager/device_manager.h"

namespace {

using kest_test::ApplicationRecorder;
using kest_test::AttachedLibrary;

class InvalidRequestedState : public ::testing::TestWithParam<DWORD> {};

TEST_P(InvalidRequestedState, IsReplacedByClosed) {
    AttachedLibrary library;
    kest::DeviceManager& manager = library.manager();
    manager.requestedState = GetParam();
    // The pass that replaces it also finds the state matching the replacement.
    EXPECT_EQ(manager.submitRequest(10000), kest::kRequestFulfilled);
    EXPECT_EQ(manager.requestedState.load(), static_cast<DWORD>(KEST_STATE_CLOSED));
    EXPECT_EQ(manager.currentState.load(), KEST_STATE_CLOSED);
}

INSTANTIATE_TEST_SUITE_P(StateMachine, InvalidRequestedState,
                         ::testing::Values(0u, 2u, 3u, 6u, 7u, 8u, 10u, 12u, 14u, 0xFFFFFFFFu));

TEST(StateMachine, SetStateNotifiesEveryCallButReportsOnlyChanges) {
    AttachedLibrary library;
    ApplicationRecorder application;
    kest::DeviceManager& manager = library.manager();
    // The state it already has, so that no pass of the manager thread interferes.
    manager.setState(KEST_STATE_CLOSED);
    manager.setState(KEST_STATE_CLOSED);
    EXPECT_EQ(application.states(), (std::vector<int>{KEST_STATE_CLOSED, KEST_STATE_CLOSED}));
    for (const std::string& text : application.statuses()) {
        EXPECT_EQ(text.rfind("KEST state changed", 0), std::string::npos) << text;
    }
}

TEST(StateMachine, FormattedStatusIsCutToItsBuffer) {
    AttachedLibrary library;
    ApplicationRecorder application;
    const std::string longName(100, 'x');
    library.manager().reportFormatted("Error opening: %s", longName.c_str());
    library.manager().reportFormatted("KEST state changed: %d => %d", 4, 7);
    const std::string cut = ("Error opening: " + longName).substr(0, 63);
    EXPECT_EQ(application.statusCount(cut), 1);
    EXPECT_EQ(application.statusCount("KEST state changed: 4 => 7"), 1);
}

TEST(StateMachine, PortMessagesAreForwardedAsStatus) {
    AttachedLibrary library;
    ApplicationRecorder application;
    kest::DeviceManager::forwardPortMessage(&library.manager(), "CreateFile invalid handle");
    EXPECT_EQ(application.statusCount("CreateFile invalid handle"), 1);
}

}  // namespace

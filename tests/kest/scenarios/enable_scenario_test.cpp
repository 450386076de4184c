#include <kest.h>

#include <atomic>
#include <string>
#include <vector>

#include "manager/device_manager.h"
#include "scenario_fixture.h"
#include "wait_until.h"

namespace {

using kest_test::Scenario;
using Lines = std::vector<std::string>;
using States = std::vector<int>;

using kest_test::waitUntil;

constexpr auto kPatience = std::chrono::seconds(10);

sim::Frame activation(std::uint8_t selector) {
    return sim::Frame{.type = 0x00, .payload = {0x0B, selector, 0x00}};
}

TEST_F(Scenario, EnableOneActivatesAndClosesTheChannel) {
    openReady();
    const std::string name = dataPortName();
    EXPECT_EQ(KEST_Enable(1), KEST_OK);
    EXPECT_EQ(application.states(), (States{KEST_STATE_ACTIVATING_1, KEST_STATE_ENABLED_1}));
    // 21 00 03 0B 03 00 on the wire.
    ASSERT_TRUE(peripheral.waitForFrames(1, kPatience));
    EXPECT_EQ(peripheral.receivedFrames(), (std::vector<sim::Frame>{activation(3)}));
    EXPECT_EQ(managerLines(), (Lines{"KEST state changed: 4 => 8", "Sent ActivatePeripheral(3)",
                                     name + " closed.", "KEST state changed: 8 => 9"}));
    EXPECT_TRUE(peripheral.isPowered());

    // Asking again for the function that is active changes nothing.
    application.clear();
    EXPECT_EQ(KEST_Enable(1), KEST_OK);
    EXPECT_TRUE(application.states().empty());
    EXPECT_EQ(peripheral.receivedFrames().size(), 1u);
}

TEST_F(Scenario, EnableTwoAfterOneGoesThroughAPowerOff) {
    openReady();
    ASSERT_EQ(KEST_Enable(1), KEST_OK);
    // The power-off that Enable(2) goes through ends the data port: the first activation must
    // have reached the peripheral before it.
    ASSERT_TRUE(peripheral.waitForFrames(1, kPatience));
    application.clear();
    EXPECT_EQ(KEST_Enable(2), KEST_OK);
    EXPECT_EQ(application.states(),
              (States{KEST_STATE_POWERING_OFF, KEST_STATE_POWERED_OFF, KEST_STATE_POWERED,
                      KEST_STATE_READY, KEST_STATE_ACTIVATING_2, KEST_STATE_ENABLED_2}));
    ASSERT_TRUE(peripheral.waitForFrames(2, kPatience));
    EXPECT_EQ(peripheral.receivedFrames(), (std::vector<sim::Frame>{activation(3), activation(4)}));
    EXPECT_EQ(peripheral.powerCycles(), 2u);
    EXPECT_EQ(KEST_GetState(), KEST_STATE_ENABLED_2);
}

TEST_F(Scenario, OpenWhileEnabledReopensTheChannelWithoutAPowerCycle) {
    openReady();
    const std::string name = dataPortName();
    ASSERT_EQ(KEST_Enable(1), KEST_OK);
    application.clear();
    EXPECT_EQ(KEST_Open(0, 0, kOpenTimeoutSeconds), KEST_OK);
    EXPECT_EQ(application.states(), (States{KEST_STATE_READY}));
    EXPECT_EQ(managerLines(),
              (Lines{"Trying to get COM port", name + " opened.", "KEST state changed: 9 => 4"}));
    EXPECT_EQ(peripheral.powerCycles(), 1u);
    EXPECT_TRUE(application.waitForStatus("Waiting for comm event ..."));
}

// A status handler runs on the monitor thread, here while the monitor reads the data port. A
// KEST_Enable it makes is answered at once, and the manager, which closes that very port to
// enable, is never held up by the handler: the handler may even wait for the enabled state.
TEST_F(Scenario, AnEnableFromAStatusHandlerOnTheMonitorThreadIsCarriedOutWhileItRuns) {
    openReady();
    KEST_SetTimeout(2);
    std::atomic<int> enabled{-1};
    std::atomic<bool> sawEnabled{false};
    std::atomic<bool> returned{false};
    application.onStatus([&](const std::string& text) {
        if (text != "--- RX: Event Msg ---") return;
        enabled = KEST_Enable(1);
        sawEnabled = waitUntil([] { return KEST_GetState() == KEST_STATE_ENABLED_1; },
                               std::chrono::seconds(5));
        returned = true;
    });
    ASSERT_TRUE(peripheral.responder().sendEvent());
    ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
    application.onStatus({});
    EXPECT_EQ(enabled, KEST_NOT_DONE);
    EXPECT_TRUE(sawEnabled);
    EXPECT_EQ(application.statusCount("Request timed out."), 0);
}

// The manager thread may carry out a monitor thread handler's request before the handler's
// KEST_Open looks at the result: the answer is still KEST_NOT_DONE, as it would be had the look
// come first. The manager's quick completion is brought about by marking the next generation
// fulfilled ahead of it.
TEST_F(Scenario, ARequestFromAHandlerIsNotDoneHoweverQuicklyTheManagerCarriesItOut) {
    openReady();
    kest::DeviceManager& manager = library.manager();
    std::atomic<int> answer{-1};
    application.onStatus([&](const std::string& text) {
        if (text != "--- RX: Event Msg ---" || answer != -1) return;
        manager.fulfilledGeneration = manager.requestGeneration.load() + 1;
        answer = KEST_Open(0, 0, 2);
    });
    ASSERT_TRUE(peripheral.responder().sendEvent());
    ASSERT_TRUE(waitUntil([&] { return answer != -1; }));
    application.onStatus({});
    EXPECT_EQ(answer, KEST_NOT_DONE);
    EXPECT_EQ(KEST_GetState(), KEST_STATE_READY);
}

}  // namespace

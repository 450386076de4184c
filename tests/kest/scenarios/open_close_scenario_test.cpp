#include <host/handles.h>
#include <host/serial.h>
#include <kest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "scenario_fixture.h"
#include "wait_until.h"

namespace {

using kest_test::Scenario;
using kest_test::waitUntil;
using Lines = std::vector<std::string>;
using States = std::vector<int>;

TEST_F(Scenario, OpenPowersThePeripheralAndOpensItsNewPort) {
    ASSERT_EQ(KEST_GetState(), KEST_STATE_CLOSED);
    EXPECT_EQ(KEST_Open(0, 0, kOpenTimeoutSeconds), KEST_OK);
    EXPECT_EQ(KEST_GetState(), KEST_STATE_READY);
    EXPECT_EQ(application.states(), (States{KEST_STATE_POWERED, KEST_STATE_READY}));
    ASSERT_NE(peripheral.dataPortNumber(), 0u);
    const std::string name = dataPortName();
    EXPECT_EQ(managerLines(),
              (Lines{"Powering on KEST.", "KEST state changed: 1 => 2", "Trying to get COM port",
                     "New COM port[" + std::to_string(peripheral.dataPortNumber()) + "]:", name,
                     name + " opened.", "KEST state changed: 2 => 4"}));
    EXPECT_TRUE(peripheral.isPowered());
    EXPECT_TRUE(application.waitForStatus("Waiting for comm event ..."));
}

// The state handler runs on the manager thread, so a request it makes cannot wait for the pass
// that carries it out: it is answered at once with 1, never with "Request timed out.", and the
// manager carries it out once the handler has returned. One request is taken at a time, so the
// handler first lets the close it reacts to return.
TEST_F(Scenario, AnOpenFromTheStateHandlerIsAnsweredAtOnceAndCarriedOutAfterwards) {
    openReady();
    std::atomic<bool> closeReturned{false};
    std::atomic<int> reopened{-1};
    application.onState([&](int state) {
        if (state != KEST_STATE_CLOSED || reopened != -1) return;
        waitUntil([&] { return closeReturned.load(); });
        reopened = KEST_Open(0, 0, 2);
    });
    EXPECT_EQ(KEST_Close(), KEST_NOT_DONE);
    closeReturned = true;
    ASSERT_TRUE(waitUntil([&] { return reopened != -1; }));
    EXPECT_EQ(reopened, KEST_NOT_DONE);
    EXPECT_TRUE(application.waitForState(KEST_STATE_READY));
    EXPECT_EQ(application.statusCount("Request timed out."), 0);
    application.onState({});
}

TEST_F(Scenario, OpenInTheReadyStateIsFulfilledAtOnce) {
    openReady();
    EXPECT_EQ(KEST_Open(0, 0, kOpenTimeoutSeconds), KEST_OK);
    EXPECT_TRUE(application.states().empty());
    EXPECT_EQ(peripheral.powerCycles(), 1u);
}

// The monitor is woken when the data channel opens: it does not sit out its idle wait first.
// Without the wake it would start at a random point of that half-second wait, so three opens
// in a row almost never all look prompt.
TEST_F(Scenario, TheMonitorWaitsOnANewDataPortAtOnce) {
    for (int open = 0; open < 3; ++open) {
        application.clear();
        ASSERT_EQ(KEST_Open(0, 0, kOpenTimeoutSeconds), KEST_OK);
        ASSERT_TRUE(application.waitForStatus("Waiting for comm event ..."));
        const auto delay =
            application.timeBetween(dataPortName() + " opened.", "Waiting for comm event ...");
        ASSERT_TRUE(delay.has_value());
        EXPECT_LT(*delay, std::chrono::milliseconds(100)) << "open " << open;
        KEST_Close();
        ASSERT_TRUE(application.waitForState(KEST_STATE_CLOSED));
    }
}

TEST_F(Scenario, CloseGoesThroughPowerOffToClosed) {
    openReady();
    const std::string name = dataPortName();
    KEST_Close();  // does not wait
    ASSERT_TRUE(application.waitForState(KEST_STATE_CLOSED));
    EXPECT_EQ(application.states(),
              (States{KEST_STATE_POWERING_OFF, KEST_STATE_POWERED_OFF, KEST_STATE_CLOSED}));
    const Lines lines = managerLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), name + " closed."), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Powering off KEST."), 1);
    EXPECT_FALSE(peripheral.isPowered());
    EXPECT_EQ(KEST_GetState(), KEST_STATE_CLOSED);
}

TEST_F(Scenario, DisablePowerCyclesBackToReady) {
    openReady();
    KEST_Disable();  // does not wait
    ASSERT_TRUE(waitUntil([&] { return application.states().size() >= 4; }));
    EXPECT_EQ(application.states(), (States{KEST_STATE_POWERING_OFF, KEST_STATE_POWERED_OFF,
                                            KEST_STATE_POWERED, KEST_STATE_READY}));
    EXPECT_EQ(peripheral.powerCycles(), 2u);
    // The port is discovered again, against the ports active before the new power-on.
    EXPECT_EQ(application.statusCount("New COM port[" +
                                      std::to_string(peripheral.dataPortNumber()) + "]:"),
              1);
    EXPECT_EQ(KEST_GetState(), KEST_STATE_READY);
}

// The peripheral's port is late: only the test brings it up, once the manager has looked twice.
class LatePort : public Scenario {
  protected:
    LatePort() : Scenario({.dataPort = std::nullopt}) {}
};

TEST_F(LatePort, TheManagerKeepsLookingUntilThePortAppears) {
    // A short wait gives up while the manager is still looking.
    EXPECT_EQ(KEST_Open(0, 0, 1), KEST_NOT_DONE);
    ASSERT_TRUE(waitUntil([&] { return application.statusCount("Trying to get COM port") >= 2; }));
    EXPECT_EQ(KEST_GetState(), KEST_STATE_POWERED);
    EXPECT_EQ(application.statusCount("Request timed out."), 1);

    auto adapter = host::serial::createSimulatedLine();
    ASSERT_TRUE(adapter->activate(5));
    EXPECT_TRUE(application.waitForState(KEST_STATE_READY));
    EXPECT_EQ(application.states(), (States{KEST_STATE_POWERED, KEST_STATE_READY}));
    EXPECT_EQ(application.statusCount("New COM port[5]:"), 1);
    EXPECT_EQ(application.statusCount("COM5: opened."), 1);
    EXPECT_TRUE(adapter->isOpen());
    KEST_Close();
    EXPECT_TRUE(application.waitForState(KEST_STATE_CLOSED));
    adapter->deactivate();
}

TEST_F(Scenario, AThousandChannelCyclesLeaveNoHandleBehind) {
    // One cycle first, so that what a cycle keeps for good (the power port) is counted.
    openReady();
    ASSERT_EQ(KEST_Enable(1), KEST_OK);
    ASSERT_EQ(KEST_Open(0, 0, kOpenTimeoutSeconds), KEST_OK);
    const std::size_t handles = host::liveHandleCount();
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_EQ(KEST_Enable(1), KEST_OK) << "cycle " << cycle;
        ASSERT_EQ(KEST_Open(0, 0, kOpenTimeoutSeconds), KEST_OK) << "cycle " << cycle;
        application.clear();
    }
    EXPECT_EQ(host::liveHandleCount(), handles);
    EXPECT_EQ(peripheral.powerCycles(), 1u);
}

}  // namespace

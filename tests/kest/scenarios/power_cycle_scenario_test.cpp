// Power cycles followed by a reopen, against a peripheral whose data port stays listed for a
// while after its power is cut, as a real one's does. The port comes back under the same number,
// so the reopen finds it only if it looks at the ports active once the old one has gone.
#include <host/power.h>
#include <host/registry.h>
#include <kest.h>
#include <pm.h>

#include <chrono>
#include <vector>

#include "scenario_fixture.h"

namespace {

using namespace std::chrono_literals;
using kest_test::Scenario;
using States = std::vector<int>;

const char kStillActive[] = "COM2: still active after power-off.";

sim::Frame activation(std::uint8_t selector) {
    return sim::Frame{.type = 0x00, .payload = {0x0B, selector, 0x00}};
}

void broadcast(DWORD message, DWORD flags) {
    const std::vector<std::uint8_t> record = host::power::makeRecord(message, flags);
    ASSERT_EQ(host::power::broadcast(record.data(), record.size()), 1u);
}

class SlowPortRemoval : public Scenario,
                        public ::testing::WithParamInterface<std::chrono::milliseconds> {
  protected:
    SlowPortRemoval() : Scenario({.dataPortDelay = 0ms, .dataPortRemovalDelay = GetParam()}) {}

    // The reopen came only once the old port had gone, and found the new one.
    void expectReopenedAfterTheRemoval() {
        const auto off = application.timeBetween("Powering off KEST.", "Powering on KEST.");
        ASSERT_TRUE(off.has_value());
        EXPECT_GE(*off, GetParam());
        EXPECT_EQ(application.statusCount("New COM port[2]:"), 1);
        EXPECT_EQ(application.statusCount(kStillActive), 0);
        EXPECT_EQ(peripheral.powerCycles(), 2u);
    }
};

TEST_P(SlowPortRemoval, DisableComesBackToReady) {
    openReady();
    KEST_Disable();  // does not wait
    ASSERT_TRUE(application.waitForState(KEST_STATE_POWERED));
    ASSERT_TRUE(application.waitForState(KEST_STATE_READY));
    EXPECT_EQ(application.states(), (States{KEST_STATE_POWERING_OFF, KEST_STATE_POWERED_OFF,
                                            KEST_STATE_POWERED, KEST_STATE_READY}));
    expectReopenedAfterTheRemoval();
}

TEST_P(SlowPortRemoval, EnablingAnotherFunctionReachesIt) {
    openReady();
    ASSERT_EQ(KEST_Enable(1), KEST_OK);
    ASSERT_TRUE(peripheral.waitForFrames(1, kest_test::kPatience));
    application.clear();
    EXPECT_EQ(KEST_Enable(2), KEST_OK);
    ASSERT_TRUE(peripheral.waitForFrames(2, kest_test::kPatience));
    EXPECT_EQ(peripheral.receivedFrames(), (std::vector<sim::Frame>{activation(3), activation(4)}));
    expectReopenedAfterTheRemoval();
}

TEST_P(SlowPortRemoval, AResumeWithAutoRecoveryReopens) {
    // Before AKU 2 a suspend cuts the peripheral's power.
    ASSERT_TRUE(
        host::registry::loadText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n"
                                 "\"AKU\"=\"1.0\"\n"));
    ASSERT_EQ(KEST_SetAutoRecover(1, 0), KEST_OK);
    openReady();
    broadcast(PBT_TRANSITION, POWER_STATE_SUSPEND);
    ASSERT_TRUE(application.waitForState(KEST_STATE_POWERED_OFF));
    broadcast(PBT_RESUME, POWER_STATE_ON);
    ASSERT_TRUE(application.waitForState(KEST_STATE_READY));
    EXPECT_EQ(KEST_GetState(), KEST_STATE_READY);
    expectReopenedAfterTheRemoval();
}

INSTANTIATE_TEST_SUITE_P(RemovalDelays, SlowPortRemoval, ::testing::Values(0ms, 100ms, 500ms),
                         [](const auto& delay) {
                             return std::to_string(delay.param.count()) + "ms";
                         });

// A port that outstays any driver's notice of the power-off.
class LingeringPort : public Scenario {
  protected:
    LingeringPort() : Scenario({.dataPortDelay = 0ms, .dataPortRemovalDelay = 10min}) {}
};

TEST_F(LingeringPort, TheReopenWaitsForItNoLongerThanTwoSeconds) {
    openReady();
    KEST_Disable();
    ASSERT_TRUE(application.waitForStatus(kStillActive));
    const auto waited = application.timeBetween("Powering off KEST.", kStillActive);
    ASSERT_TRUE(waited.has_value());
    // The manager counts whole milliseconds of the tick, which may stand up to one short.
    EXPECT_GE(*waited, 2s - 1ms);
    EXPECT_TRUE(application.waitForStatus("Powering on KEST."));
}

// The wait is a step in progress, not a pause of the manager: a close goes through at once.
TEST_F(LingeringPort, ACloseGoesThroughWhileTheReopenWaits) {
    openReady();
    KEST_Disable();
    ASSERT_TRUE(application.waitForState(KEST_STATE_POWERED_OFF));
    KEST_Close();
    ASSERT_TRUE(application.waitForState(KEST_STATE_CLOSED));
    const auto closing =
        application.timeBetween("Powering off KEST.", "KEST state changed: 5 => 1");
    ASSERT_TRUE(closing.has_value());
    EXPECT_LT(*closing, 2s);
    EXPECT_EQ(application.statusCount("Powering on KEST."), 0);
}

}  // namespace

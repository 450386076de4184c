#include <host/handles.h>
#include <host/serial.h>
#include <kest.h>

#include <string>
#include <vector>

#include "power_fixture.h"

namespace {

using kest::kStepDone;
using kest::kStepFailed;
using kest::kStepInProgress;
using Lines = std::vector<std::string>;

constexpr DWORD bit(unsigned n) {
    return DWORD{1} << n;
}

class PowerOn : public kest_test::PowerSteps {};

TEST_F(PowerOn, TakesThePortMaskBeforeThePeripheralHasPower) {
    auto adapter = host::serial::createSimulatedLine();
    ASSERT_TRUE(adapter->activate(3));
    peripheral.start();

    EXPECT_EQ(manager().powerOn(), kStepDone);
    EXPECT_TRUE(peripheral.isPowered());
    EXPECT_EQ(application.states(), (std::vector<int>{KEST_STATE_POWERED}));
    EXPECT_EQ(managerLines(), (Lines{"Powering on KEST.", "KEST state changed: 1 => 2"}));
    // The data port came up inside the open of "COM1:", yet is not among the ports before.
    ASSERT_EQ(peripheral.dataPortNumber(), 4u);
    EXPECT_EQ(manager().portsBeforePowerOn, bit(1) | bit(3));
    adapter->deactivate();
}

TEST_F(PowerOn, IsDoneAtOnceWhilePowered) {
    peripheral.start();
    ASSERT_EQ(manager().powerOn(), kStepDone);
    application.clear();
    EXPECT_EQ(manager().powerOn(), kStepDone);
    EXPECT_EQ(peripheral.powerCycles(), 1u);
    EXPECT_TRUE(managerLines().empty());
    EXPECT_TRUE(application.states().empty());
}

TEST_F(PowerOn, AFailingPowerPortGoesFromPoweredStraightBackToClosed) {
    // No peripheral: "COM1:" cannot be opened.
    const std::size_t handles = host::liveHandleCount();
    EXPECT_EQ(manager().powerOn(), kStepFailed);
    EXPECT_EQ(manager().powerPort, nullptr);
    EXPECT_EQ(manager().currentState.load(), KEST_STATE_CLOSED);
    EXPECT_EQ(application.states(), (std::vector<int>{KEST_STATE_POWERED, KEST_STATE_CLOSED}));
    const Lines texts = managerLines();
    const Lines expectedStart = {"Powering on KEST.", "KEST state changed: 1 => 2"};
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(Lines(texts.begin(), texts.begin() + 2), expectedStart);
    EXPECT_EQ(application.statusCount("Exception on power on"), 1);
    EXPECT_EQ(application.statusCount("Powering off KEST."), 0);
    EXPECT_EQ(texts.back(), "KEST state changed: 2 => 1");
    EXPECT_EQ(host::liveHandleCount(), handles);

    // The next attempt finds the half-made port gone and tries again.
    application.clear();
    EXPECT_EQ(manager().powerOn(), kStepFailed);
    EXPECT_EQ(application.statusCount("Powering on KEST."), 1);
}

TEST_F(PowerOn, RefusesInTheCradleAndPowersOff) {
    peripheral.start();
    manager().inCradle = 1;
    EXPECT_EQ(manager().powerOn(), kStepInProgress);
    EXPECT_FALSE(peripheral.isPowered());
    EXPECT_EQ(manager().powerPort, nullptr);
    EXPECT_TRUE(application.states().empty());
    const Lines texts = managerLines();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "Cannot power on KEST while in the cradle.");
    EXPECT_EQ(application.statusCount("OS Version: "), 1);
    EXPECT_EQ(application.statusCount("Powering on KEST."), 0);
}

}  // namespace

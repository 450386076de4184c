#include <kest.h>

#include <chrono>
#include <string>
#include <vector>

#include "power_fixture.h"

namespace {

using kest::kStepDone;
using Lines = std::vector<std::string>;

class PowerOff : public kest_test::PowerSteps {};

TEST_F(PowerOff, WithoutAPowerPortReadsTheVersionAndChangesNoState) {
    EXPECT_EQ(manager().powerOff(), kStepDone);
    EXPECT_TRUE(application.states().empty());
    EXPECT_EQ(managerLines(),
              (Lines{"AKU: ", ".2.0", "In AKU If", "Success opening key.", "OS Version: ", "2.0"}));
}

TEST_F(PowerOff, ClosesBothPortsAndForgetsTheDataPort) {
    powerAndOpenChannel();
    const std::string name = dataPortName();
    manager().activeFunction = 1;
    EXPECT_EQ(manager().powerOff(), kStepDone);
    EXPECT_FALSE(peripheral.isPowered());
    EXPECT_EQ(manager().powerPort, nullptr);
    EXPECT_EQ(manager().dataPort.load(), nullptr);
    EXPECT_EQ(manager().activeFunction, 0u);
    EXPECT_STREQ(manager().dataPortName, "");
    EXPECT_EQ(application.states(),
              (std::vector<int>{KEST_STATE_POWERING_OFF, KEST_STATE_POWERED_OFF}));
    EXPECT_EQ(managerLines(),
              (Lines{"AKU: ", ".2.0", "In AKU If", "Success opening key.", "OS Version: ", "2.0",
                     name + " closed.", "KEST state changed: 4 => 3", "Powering off KEST.",
                     "KEST state changed: 3 => 5"}));
}

// The close step ends with the peripheral closed and nothing of what it told before: the next
// open asks for the version and the file again.
TEST_F(PowerOff, TheCloseStepForgetsTheVersionAndTheDownload) {
    powerAndOpenChannel();
    manager().versionReceived = 1;
    manager().downloadDone = 1;
    EXPECT_EQ(manager().closePeripheral(), kStepDone);
    EXPECT_EQ(manager().versionReceived.load(), 0);
    EXPECT_EQ(manager().downloadDone.load(), 0);
    EXPECT_EQ(manager().currentState.load(), KEST_STATE_CLOSED);
    EXPECT_FALSE(peripheral.isPowered());
}

TEST_F(PowerOff, TheNextPowerOnDiscoversTheDataPortAfresh) {
    powerAndOpenChannel();
    const unsigned oldPort = peripheral.dataPortNumber();
    ASSERT_EQ(manager().powerOff(), kStepDone);
    // The old port is still listed: a snapshot now would count its return as present before.
    EXPECT_EQ(manager().powerOn(), kest::kStepInProgress);
    EXPECT_TRUE(manager().awaitingPortDeparture);
    EXPECT_EQ(application.statusCount("Powering on KEST."), 0);
    EXPECT_FALSE(peripheral.isPowered());
    ASSERT_TRUE(peripheral.waitForDataPortRemoval(std::chrono::seconds(5)));
    ASSERT_EQ(manager().powerOn(), kStepDone);
    EXPECT_EQ(manager().portsBeforePowerOn & (DWORD{1} << oldPort), 0u);
    application.clear();
    EXPECT_EQ(manager().openMDPChannel(), kStepDone);
    EXPECT_EQ(application.statusCount("New COM port[" +
                                      std::to_string(peripheral.dataPortNumber()) + "]:"),
              1);
    EXPECT_EQ(peripheral.powerCycles(), 2u);
}

// The AKU value, and whether a power-off during a suspend keeps the peripheral's link.
struct AkuCase {
    const char* name;
    const char* registry;  // .reg lines for SYSTEM\Versions
    bool keepsLink;
};

class AkuRule : public kest_test::PowerSteps, public ::testing::WithParamInterface<AkuCase> {};

TEST_P(AkuRule, DuringASuspend) {
    loadRegistry(GetParam().registry);
    powerAndOpenChannel();
    manager().activeFunction = 2;
    manager().systemSuspended = 1;
    EXPECT_EQ(manager().powerOff(), kStepDone);

    // Either way the step goes through 3 to 5 and forgets the function and the port name.
    EXPECT_EQ(application.states(),
              (std::vector<int>{KEST_STATE_POWERING_OFF, KEST_STATE_POWERED_OFF}));
    EXPECT_EQ(manager().activeFunction, 0u);
    EXPECT_STREQ(manager().dataPortName, "");
    const bool keeps = GetParam().keepsLink;
    EXPECT_EQ(peripheral.isPowered(), keeps);
    EXPECT_EQ(manager().powerPort != nullptr, keeps);
    EXPECT_EQ(manager().dataPort.load() != nullptr, keeps);
    EXPECT_EQ(application.statusCount("Powering off KEST."), keeps ? 0 : 1);
    EXPECT_EQ(application.statusCount("OS Version: "), 1);
    // Only a power that is cut leaves a data port to wait for.
    EXPECT_EQ(manager().departingPorts != 0, !keeps);
}

INSTANTIATE_TEST_SUITE_P(
    PowerOff, AkuRule,
    ::testing::Values(
        AkuCase{"Zero", "[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=\".0.9\"", false},
        AkuCase{"One", "[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=\".1.2\"", false},
        AkuCase{"NoValue", "[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=-", false},
        AkuCase{"NoKey", "[-HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]", false},
        AkuCase{"NoLeadingDigit", "[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=\"v2.0\"",
                false},
        AkuCase{"Two", "[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=\".2.0\"", true},
        AkuCase{"TwoWithoutDot", "[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=\"2\"", true},
        AkuCase{"Twelve", "[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=\".12.1\"", true}),
    [](const ::testing::TestParamInfo<AkuCase>& param) { return std::string(param.param.name); });

TEST_F(PowerOff, AfterALinkKeptThroughASuspendTheOpenChangesNothing) {
    powerAndOpenChannel();  // the built-in AKU is ".2.0"
    manager().systemSuspended = 1;
    ASSERT_EQ(manager().powerOff(), kStepDone);
    manager().systemSuspended = 0;
    application.clear();
    // Both ports are still open, so neither step has anything to do: the state stays 5.
    EXPECT_EQ(manager().powerOn(), kStepDone);
    EXPECT_EQ(manager().openMDPChannel(), kStepDone);
    EXPECT_EQ(manager().currentState.load(), KEST_STATE_POWERED_OFF);
    EXPECT_TRUE(application.states().empty());
    EXPECT_EQ(peripheral.powerCycles(), 1u);
}

TEST_F(PowerOff, AkuTwoWithTheSystemRunningClosesBothPorts) {
    powerAndOpenChannel();  // the built-in AKU is ".2.0"
    EXPECT_EQ(manager().powerOff(), kStepDone);
    EXPECT_FALSE(peripheral.isPowered());
    EXPECT_EQ(manager().powerPort, nullptr);
    EXPECT_EQ(manager().dataPort.load(), nullptr);
    EXPECT_EQ(application.statusCount("Powering off KEST."), 1);
}

}  // namespace

#include <gtest/gtest.h>
#include <host/registry.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "application_recorder.h"
#include "attached_library.h"
#include "fresh_registry.h"
#include "manager/device_manager.h"
#include "monitor_lines.h"
#include "stopped_manager_thread.h"

namespace {

using kest::kStepDone;
using kest::kStepInProgress;
using Lines = std::vector<std::string>;

DWORD ports(std::initializer_list<unsigned> numbers) {
    DWORD mask = 0;
    for (unsigned n : numbers) mask |= DWORD{1} << n;
    return mask;
}

// The test plays the manager thread, and writes Drivers\Active as the device manager would.
class DataPortDiscovery : public ::testing::Test {
  protected:
    DataPortDiscovery() { EXPECT_TRUE(kest_test::stopManagerThread(manager())); }

    kest::DeviceManager& manager() const { return library.manager(); }
    Lines lines() const { return kest_test::withoutMonitorLines(application.statuses()); }

    static void setActivePorts(std::initializer_list<unsigned> numbers) {
        std::string text = "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Drivers\\Active]\n";
        for (unsigned n : numbers) {
            text += "[HKEY_LOCAL_MACHINE\\Drivers\\Active\\" + std::to_string(40 + n) +
                    "]\n\"NAME\"=\"COM" + std::to_string(n) + ":\"\n";
        }
        ASSERT_TRUE(host::registry::loadText(text));
    }

    kest_test::FreshRegistry registry;
    kest_test::AttachedLibrary library;
    kest_test::ApplicationRecorder application;
};

TEST_F(DataPortDiscovery, PicksTheLowestPortThatIsNew) {
    manager().portsBeforePowerOn = ports({1, 3});
    setActivePorts({1, 3, 5, 7});
    EXPECT_EQ(manager().DiscoverDataPort(), kStepDone);
    EXPECT_STREQ(manager().dataPortName, "COM5:");
    EXPECT_EQ(lines(), (Lines{"Trying to get COM port", "New COM port[5]:", "COM5:"}));
}

TEST_F(DataPortDiscovery, AHighNumberedPortListedFirstDoesNotHideTheDataPort) {
    manager().portsBeforePowerOn = ports({1});
    setActivePorts({40, 1, 5});
    EXPECT_EQ(manager().DiscoverDataPort(), kStepDone);
    EXPECT_STREQ(manager().dataPortName, "COM5:");
}

TEST_F(DataPortDiscovery, AKnownNameIsKeptWithoutLookingAgain) {
    manager().portsBeforePowerOn = ports({1});
    setActivePorts({1, 6});
    ASSERT_EQ(manager().DiscoverDataPort(), kStepDone);
    application.clear();
    setActivePorts({1, 2});  // a lower new port now, which a fresh look would take
    EXPECT_EQ(manager().DiscoverDataPort(), kStepDone);
    EXPECT_STREQ(manager().dataPortName, "COM6:");
    EXPECT_EQ(lines(), (Lines{"Trying to get COM port"}));
}

TEST_F(DataPortDiscovery, WithNoNewPortItIsStillInProgress) {
    manager().portsBeforePowerOn = ports({1, 3, 5});
    setActivePorts({1, 3, 5});  // the peripheral's port, if it is one of these, was there before
    EXPECT_EQ(manager().DiscoverDataPort(), kStepInProgress);
    EXPECT_STREQ(manager().dataPortName, "");
    EXPECT_EQ(lines(), (Lines{"Trying to get COM port"}));
}

TEST_F(DataPortDiscovery, APortThatWentAwayIsNoNewPort) {
    manager().portsBeforePowerOn = ports({1, 4});
    setActivePorts({1});
    EXPECT_EQ(manager().DiscoverDataPort(), kStepInProgress);
    EXPECT_STREQ(manager().dataPortName, "");
}

TEST_F(DataPortDiscovery, WithoutTheActiveKeyItIsStillInProgress) {
    ASSERT_TRUE(host::registry::loadText("REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Drivers\\Active]\n"));
    EXPECT_EQ(manager().DiscoverDataPort(), kStepInProgress);
    EXPECT_EQ(lines(), (Lines{"Trying to get COM port"}));
}

}  // namespace

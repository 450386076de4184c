// The system power and cradle notifications: the flags and requests they leave for the next
// pass, read straight from the queue; and, with the manager thread running, what they do to an
// open peripheral.
#include <gtest/gtest.h>
#include <host/power.h>
#include <kest.h>
#include <pm.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "application_recorder.h"
#include "attached_library.h"
#include "fresh_registry.h"
#include "manager/device_manager.h"
#include "monitor_lines.h"
#include "peripheral/peripheral.h"
#include "stopped_manager_thread.h"

namespace kest_test {
namespace {

using Lines = std::vector<std::string>;

std::vector<std::uint8_t> powerInfo(BYTE acLine, BYTE batteryFlag, BYTE backupBatteryFlag,
                                    DWORD flags = 0) {
    POWER_BROADCAST_POWER_INFO info{};
    info.bACLineStatus = acLine;
    info.bBatteryFlag = batteryFlag;
    info.bBackupBatteryFlag = backupBatteryFlag;
    return host::power::makePowerInfoRecord(info, flags);
}

void broadcast(const std::vector<std::uint8_t>& record) {
    EXPECT_EQ(host::power::broadcast(record.data(), record.size()), 1u);
}

// The test plays the manager thread and drains the queue itself.
class PowerNotifications : public ::testing::Test {
  protected:
    PowerNotifications() {
        EXPECT_TRUE(stopManagerThread(manager()));
        EventModify(manager().wakeEvent, EVENT_RESET);
        manager().requestedState = KEST_STATE_READY;
        application.clear();
    }

    kest::DeviceManager& manager() const { return library.manager(); }
    bool wakeEventSet() const {
        return WaitForSingleObject(manager().wakeEvent, 0) == WAIT_OBJECT_0;
    }
    Lines lines() const { return withoutMonitorLines(application.statuses()); }

    AttachedLibrary library;
    ApplicationRecorder application;
};

TEST_F(PowerNotifications, SuspendClosesThePeripheralUnlessItRecovers) {
    broadcast(host::power::makeRecord(PBT_TRANSITION, POWER_STATE_SUSPEND));
    EXPECT_EQ(manager().handlePowerNotifications(), kest::kStepDone);
    EXPECT_EQ(lines(), (Lines{"PBT_TRANSITION msg.", "System suspend detected."}));
    EXPECT_EQ(manager().systemSuspended, 1);
    EXPECT_EQ(manager().powerCycleNeeded.load(), 1);
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_CLOSED));
    EXPECT_TRUE(wakeEventSet());

    manager().requestedState = KEST_STATE_READY;
    manager().powerCycleNeeded = 0;
    manager().autoRecoverOnSuspend = 1;
    broadcast(host::power::makeRecord(PBT_TRANSITION, POWER_STATE_SUSPEND));
    manager().handlePowerNotifications();
    EXPECT_EQ(manager().powerCycleNeeded.load(), 1);
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_READY));
}

TEST_F(PowerNotifications, AnyOtherFlagsAreAResume) {
    manager().systemSuspended = 1;
    broadcast(host::power::makeRecord(PBT_RESUME, POWER_STATE_ON));
    broadcast(powerInfo(AC_LINE_OFFLINE, BATTERY_FLAG_HIGH, BATTERY_FLAG_HIGH, 0));
    manager().handlePowerNotifications();
    EXPECT_EQ(lines(),
              (Lines{"PBT_RESUME msg.", "System resume detected.", "PBT_POWERINFOCHANGE msg.",
                     "KEST removed from cradle.", "System resume detected."}));
    EXPECT_EQ(manager().systemSuspended, 0);
    EXPECT_EQ(manager().powerCycleNeeded.load(), 0);
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_READY));
}

TEST_F(PowerNotifications, ExternalPowerOrAChargingBackupBatteryIsTheCradle) {
    broadcast(powerInfo(AC_LINE_ONLINE, BATTERY_FLAG_HIGH, BATTERY_FLAG_HIGH));
    manager().handlePowerNotifications();
    EXPECT_EQ(lines(), (Lines{"PBT_POWERINFOCHANGE msg.", "Handheld detected in cradle condition.",
                              "System resume detected."}));
    EXPECT_EQ(manager().inCradle, 1);
    EXPECT_EQ(manager().powerCycleNeeded.load(), 1);
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_CLOSED));

    manager().inCradle = 0;
    broadcast(powerInfo(AC_LINE_OFFLINE, BATTERY_FLAG_HIGH, BATTERY_FLAG_CHARGING));
    manager().handlePowerNotifications();
    EXPECT_EQ(manager().inCradle, 1);
}

TEST_F(PowerNotifications, TheMainBatteryChargingIsNotTheCradle) {
    manager().inCradle = 1;
    broadcast(powerInfo(AC_LINE_OFFLINE, BATTERY_FLAG_CHARGING, BATTERY_FLAG_HIGH));
    manager().handlePowerNotifications();
    EXPECT_EQ(manager().inCradle, 0);
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_READY));
}

TEST_F(PowerNotifications, WithCradleRecoveryTheRequestStands) {
    manager().autoRecoverOnCradle = 1;
    broadcast(powerInfo(AC_LINE_ONLINE, 0, 0));
    manager().handlePowerNotifications();
    EXPECT_EQ(manager().inCradle, 1);
    EXPECT_EQ(manager().powerCycleNeeded.load(), 1);
    EXPECT_EQ(manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_READY));
}

TEST_F(PowerNotifications, QueuedNotificationsAreHandledInOrderInOneCall) {
    broadcast(host::power::makeRecord(PBT_POWERSTATUSCHANGE, 0));
    broadcast(host::power::makeRecord(0x00000100, POWER_STATE_SUSPEND));  // a Message of no name
    broadcast(host::power::makeRecord(PBT_TRANSITION, POWER_STATE_ON));
    EXPECT_EQ(manager().handlePowerNotifications(), kest::kStepDone);
    EXPECT_EQ(lines(),
              (Lines{"PBT_RESUME msg.", "System resume detected.", "System suspend detected.",
                     "PBT_TRANSITION msg.", "System resume detected."}));
    EXPECT_EQ(manager().systemSuspended, 0);
    EXPECT_EQ(manager().powerCycleNeeded.load(), 1);
    EXPECT_TRUE(wakeEventSet());

    // The queue is empty now: nothing is reported and the manager is not woken.
    application.clear();
    EXPECT_EQ(manager().handlePowerNotifications(), kest::kStepDone);
    EXPECT_TRUE(lines().empty());
    EXPECT_FALSE(wakeEventSet());
}

// A power-info record without its power information says nothing about the cradle; the record
// must reach the backup battery flag, the last byte read.
TEST_F(PowerNotifications, AShortPowerInfoRecordIsNotReadPastItsEnd) {
    manager().inCradle = 1;
    broadcast(host::power::makeRecord(PBT_POWERINFOCHANGE, 0));
    manager().handlePowerNotifications();
    EXPECT_EQ(lines(), (Lines{"PBT_POWERINFOCHANGE msg.", "Power info record too short: 12 bytes",
                              "System resume detected."}));
    EXPECT_EQ(manager().inCradle, 1);

    std::vector<std::uint8_t> onAcPower = powerInfo(AC_LINE_ONLINE, 0, 0);
    onAcPower.resize(35);  // ends just before the backup battery flag
    manager().inCradle = 0;
    application.clear();
    broadcast(onAcPower);
    manager().handlePowerNotifications();
    EXPECT_EQ(lines(), (Lines{"PBT_POWERINFOCHANGE msg.", "Power info record too short: 35 bytes",
                              "System resume detected."}));
    EXPECT_EQ(manager().inCradle, 0);

    onAcPower.resize(36);
    application.clear();
    broadcast(onAcPower);
    manager().handlePowerNotifications();
    EXPECT_EQ(lines(), (Lines{"PBT_POWERINFOCHANGE msg.", "Handheld detected in cradle condition.",
                              "System resume detected."}));
    EXPECT_EQ(manager().inCradle, 1);
}

TEST_F(PowerNotifications, WithoutAQueueTheRoutineFails) {
    const HANDLE queue = manager().powerQueue;
    manager().powerQueue = nullptr;
    EXPECT_EQ(manager().handlePowerNotifications(), kest::kStepFailed);
    manager().powerQueue = queue;
    EXPECT_TRUE(lines().empty());
}

// The manager thread runs and the application uses the exports, against a peripheral whose data
// port comes up the moment it is powered.
class PowerEvents : public ::testing::Test {
  protected:
    PowerEvents() {
        peripheral.start();
        EXPECT_EQ(KEST_Open(0, 0, 10), KEST_OK);
        application.clear();
    }

    FreshRegistry registry;
    sim::Peripheral peripheral{{.dataPortDelay = std::chrono::milliseconds{0}}};
    AttachedLibrary library;
    ApplicationRecorder application;
};

TEST_F(PowerEvents, TheCradleWithoutRecoveryLeavesThePeripheralClosed) {
    broadcast(powerInfo(AC_LINE_ONLINE, 0, 0));
    ASSERT_TRUE(application.waitForState(KEST_STATE_POWERED_OFF));
    EXPECT_FALSE(peripheral.isPowered());
    EXPECT_EQ(library.manager().requestedState.load(), static_cast<DWORD>(KEST_STATE_CLOSED));

    broadcast(powerInfo(AC_LINE_OFFLINE, 0, 0));
    ASSERT_TRUE(application.waitForState(KEST_STATE_CLOSED));
    EXPECT_EQ(KEST_GetState(), KEST_STATE_CLOSED);
    EXPECT_EQ(peripheral.powerCycles(), 1u);
}

TEST_F(PowerEvents, TheCradleWithRecoveryReopensOnceTheHandheldIsTakenOut) {
    KEST_SetAutoRecover(0, 1);
    broadcast(powerInfo(AC_LINE_ONLINE, 0, 0));
    ASSERT_TRUE(application.waitForState(KEST_STATE_POWERED_OFF));
    EXPECT_FALSE(peripheral.isPowered());

    broadcast(powerInfo(AC_LINE_OFFLINE, 0, 0));
    ASSERT_TRUE(application.waitForState(KEST_STATE_READY));
    EXPECT_EQ(peripheral.powerCycles(), 2u);
    EXPECT_EQ(KEST_GetState(), KEST_STATE_READY);
}

TEST_F(PowerEvents, ASuspendWithoutRecoveryEndsClosedAfterTheResume) {
    broadcast(host::power::makeRecord(PBT_TRANSITION, POWER_STATE_SUSPEND));
    ASSERT_TRUE(application.waitForState(KEST_STATE_POWERED_OFF));
    EXPECT_TRUE(application.waitForStatus("System suspend detected."));

    broadcast(host::power::makeRecord(PBT_RESUME, 0));
    ASSERT_TRUE(application.waitForState(KEST_STATE_CLOSED));
    EXPECT_FALSE(peripheral.isPowered());
}

}  // namespace
}  // namespace kest_test

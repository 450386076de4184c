// Reading the system power and cradle notifications from the power queue, on the manager thread
// right before each pass: they become the flags systemSuspended, inCradle and powerCycleNeeded
// and, without auto-recovery, a request to close the peripheral. The pass does the power-off.
#include <kest.h>
#include <kfuncs.h>
#include <msgqueue.h>
#include <pm.h>

#include <cstring>

#include "manager/device_manager.h"

namespace kest {
namespace {

constexpr DWORD kRecordCapacity = 536;
// Offsets within a POWER_BROADCAST record.
constexpr DWORD kMessageOffset = 0;
constexpr DWORD kFlagsOffset = 4;
constexpr DWORD kAcLineStatusOffset = 32;
constexpr DWORD kBackupBatteryFlagOffset = 35;

DWORD wordAt(const BYTE* record, DWORD offset) {
    DWORD value = 0;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

// AC power, or a charging backup battery: the handheld sits in its cradle (an external power
// adapter outside a cradle looks the same and is treated the same).
void handlePowerInfo(DeviceManager& m, const BYTE* record, DWORD length) {
    m.reportStatus("PBT_POWERINFOCHANGE msg.");
    // A record without the power information says nothing about the cradle.
    if (length <= kBackupBatteryFlagOffset) {
        m.reportFormatted("Power info record too short: %u bytes", static_cast<unsigned>(length));
        return;
    }
    if (record[kAcLineStatusOffset] == AC_LINE_ONLINE ||
        record[kBackupBatteryFlagOffset] == BATTERY_FLAG_CHARGING) {
        m.inCradle = 1;
        if (m.autoRecoverOnCradle == 0) m.requestedState = KEST_STATE_CLOSED;
        m.powerCycleNeeded = 1;
        m.reportStatus("Handheld detected in cradle condition.");
    } else {
        m.inCradle = 0;
        m.reportStatus("KEST removed from cradle.");
    }
}

// The record is read into a zeroed buffer, so a header field that a short record lacks reads
// as 0 and nothing past the record's end is taken for data.
void handlePowerRecord(DeviceManager& m, const BYTE* record, DWORD length) {
    switch (wordAt(record, kMessageOffset)) {
        case PBT_TRANSITION:
            m.reportStatus("PBT_TRANSITION msg.");
            break;
        case PBT_RESUME:
        case PBT_POWERSTATUSCHANGE:
            m.reportStatus("PBT_RESUME msg.");
            break;
        case PBT_POWERINFOCHANGE:
            handlePowerInfo(m, record, length);
            break;
        default:
            break;
    }
    if (wordAt(record, kFlagsOffset) == POWER_STATE_SUSPEND) {
        m.systemSuspended = 1;
        if (m.autoRecoverOnSuspend == 0) m.requestedState = KEST_STATE_CLOSED;
        m.powerCycleNeeded = 1;
        m.reportStatus("System suspend detected.");
    } else {
        m.systemSuspended = 0;
        m.reportStatus("System resume detected.");
    }
}

}  // namespace

int DeviceManager::handlePowerNotifications() {
    if (powerQueue == nullptr) return kStepFailed;
    for (;;) {
        BYTE record[kRecordCapacity] = {};
        DWORD length = 0;
        DWORD flags = 0;
        if (!ReadMsgQueue(powerQueue, record, sizeof record, &length, 0, &flags)) break;
        handlePowerRecord(*this, record, length);
        EventModify(wakeEvent, EVENT_SET);
    }
    return kStepDone;
}

}  // namespace kest

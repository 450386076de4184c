/* Power manager: power notifications. */
#ifndef CE_PLATFORM_PM_H
#define CE_PLATFORM_PM_H

#include <stddef.h>
#include <windows.h>

#define PBT_TRANSITION 0x00000001
#define PBT_RESUME 0x00000002
#define PBT_POWERSTATUSCHANGE 0x00000004
#define PBT_POWERINFOCHANGE 0x00000008

#define POWER_NOTIFY_ALL 0xFFFFFFFFu

#define POWER_STATE_ON 0x00010000
#define POWER_STATE_OFF 0x00020000
#define POWER_STATE_CRITICAL 0x00040000
#define POWER_STATE_BOOT 0x00080000
#define POWER_STATE_IDLE 0x00100000
#define POWER_STATE_SUSPEND 0x00200000
#define POWER_STATE_RESET 0x00800000

/* A desktop windows.h has the power status values already (winbase.h), with the same numbers. */
#ifndef AC_LINE_OFFLINE
#define AC_LINE_OFFLINE 0x00
#define AC_LINE_ONLINE 0x01
#define AC_LINE_BACKUP_POWER 0x02
#define AC_LINE_UNKNOWN 0xFF

#define BATTERY_FLAG_HIGH 0x01
#define BATTERY_FLAG_LOW 0x02
#define BATTERY_FLAG_CRITICAL 0x04
#define BATTERY_FLAG_CHARGING 0x08
#define BATTERY_FLAG_NO_BATTERY 0x80
#define BATTERY_FLAG_UNKNOWN 0xFF
#endif

typedef struct _POWER_BROADCAST {
    DWORD Message;
    DWORD Flags;
    DWORD Length;
    WCHAR SystemPowerState[1];
} POWER_BROADCAST, *PPOWER_BROADCAST;

typedef struct _POWER_BROADCAST_POWER_INFO {
    DWORD dwNumLevels;
    DWORD dwBatteryLifeTime;
    DWORD dwBatteryFullLifeTime;
    DWORD dwBackupBatteryLifeTime;
    DWORD dwBackupBatteryFullLifeTime;
    BYTE bACLineStatus;
    BYTE bBatteryFlag;
    BYTE bBatteryLifePercent;
    BYTE bBackupBatteryFlag;
    BYTE bBackupBatteryLifePercent;
} POWER_BROADCAST_POWER_INFO, *PPOWER_BROADCAST_POWER_INFO;

#ifdef __cplusplus
static_assert(offsetof(POWER_BROADCAST, SystemPowerState) == 12, "record data starts at byte 12");
static_assert(12 + offsetof(POWER_BROADCAST_POWER_INFO, bACLineStatus) == 32,
              "AC line status at byte 32 of a record");
static_assert(12 + offsetof(POWER_BROADCAST_POWER_INFO, bBackupBatteryFlag) == 35,
              "backup battery flag at byte 35 of a record");
#endif

#ifdef __cplusplus
extern "C" {
#endif

HANDLE WINAPI RequestPowerNotifications(HANDLE hMsgQ, DWORD Flags);
DWORD WINAPI StopPowerNotifications(HANDLE h);

#ifdef __cplusplus
}
#endif

#endif /* CE_PLATFORM_PM_H */

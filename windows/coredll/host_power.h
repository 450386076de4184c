/*
 * coredll.dll's host call: what the handheld's power manager does when the system suspends,
 * resumes or its power supply changes, announced by a test.
 */
#ifndef COREDLL_HOST_POWER_H
#define COREDLL_HOST_POWER_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Writes the POWER_BROADCAST record {message, flags, length, data} into every queue registered
 * with RequestPowerNotifications for a bit of `message`, without waiting: a full queue misses
 * it. `data` is what follows the 12-byte header: the system power state's name as wide text
 * with its terminator for PBT_TRANSITION, a POWER_BROADCAST_POWER_INFO for PBT_POWERINFOCHANGE,
 * or nothing (length 0). Returns the number of queues that received the record.
 */
DWORD WINAPI HostBroadcastPowerNotification(DWORD message, DWORD flags, const void* data,
                                            DWORD length);

#ifdef __cplusplus
}
#endif

#endif /* COREDLL_HOST_POWER_H */

/*
 * What the handheld's windows.h declares beyond desktop Windows: EventModify, the device
 * manager's calls and the comm event of its serial drivers. The handheld's windows.h includes this
 * header, and so does this host's; against a desktop Windows header set include it explicitly.
 */
#ifndef CE_PLATFORM_KFUNCS_H
#define CE_PLATFORM_KFUNCS_H

#include <windows.h>

/* EventModify functions: SetEvent is EventModify(h, EVENT_SET), ResetEvent EVENT_RESET. */
#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3

/* The serial drivers signal the device's power events; desktop Windows has no such comm event. */
#ifndef EV_POWER
#define EV_POWER 0x2000
#endif

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI EventModify(HANDLE hEvent, DWORD func);

/* The device manager: lpRegEnts of ActivateDeviceEx is an array of REGINI (devload.h). */
HANDLE WINAPI ActivateDevice(LPCWSTR lpszDevKey, DWORD_PTR dwClientInfo);
HANDLE WINAPI ActivateDeviceEx(LPCWSTR lpszDevKey, LPCVOID lpRegEnts, DWORD cRegEnts,
                               LPVOID lpvParam);
BOOL WINAPI DeactivateDevice(HANDLE hDevice);

#ifdef __cplusplus
}
#endif

#endif /* CE_PLATFORM_KFUNCS_H */

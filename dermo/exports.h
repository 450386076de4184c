// The driver's exports: the USB client driver interface for the USB stack and the DRX stream
// interface for the device manager. Nothing else leaves the library (dermo.map).
#pragma once

#include <usbdi.h>
#include <windows.h>

// Default visibility where the compiler knows symbol visibility (GCC and clang); elsewhere the
// module-definition file dermo.def alone exports the entry points.
#if defined(__GNUC__)
#define DERMO_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define DERMO_EXPORT extern "C"
#endif

DERMO_EXPORT BOOL USBInstallDriver(LPCWSTR szDriverLibFile);
DERMO_EXPORT BOOL USBUnInstallDriver();
DERMO_EXPORT BOOL USBDeviceAttach(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs,
                                  LPCUSB_INTERFACE lpInterface, LPCWSTR szUniqueDriverId,
                                  LPBOOL fAcceptControl, LPCUSB_DRIVER_SETTINGS lpDriverSettings,
                                  DWORD dwUnused);

DERMO_EXPORT DWORD_PTR DRX_Init(DWORD_PTR dwContext, LPCVOID lpvBusContext);
DERMO_EXPORT BOOL DRX_Deinit(DWORD_PTR hDeviceContext);
DERMO_EXPORT DWORD_PTR DRX_Open(DWORD_PTR hDeviceContext, DWORD AccessCode, DWORD ShareMode);
DERMO_EXPORT BOOL DRX_Close(DWORD_PTR hOpenContext);
DERMO_EXPORT DWORD DRX_Read(DWORD_PTR hOpenContext, LPVOID pBuffer, DWORD Count);
DERMO_EXPORT DWORD DRX_Write(DWORD_PTR hOpenContext, LPCVOID pBuffer, DWORD Count);
DERMO_EXPORT DWORD DRX_Seek(DWORD_PTR hOpenContext, LONG Amount, WORD Type);
DERMO_EXPORT BOOL DRX_IOControl(DWORD_PTR hOpenContext, DWORD dwCode, PBYTE pBufIn, DWORD dwLenIn,
                                PBYTE pBufOut, DWORD dwLenOut, PDWORD pdwActualOut);

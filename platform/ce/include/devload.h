/*
 * Device manager: the registry names it reads and writes, and the stream driver entry points.
 *
 * A stream driver with the prefix XXX exports XXX_Init, XXX_Deinit, XXX_Open, XXX_Close,
 * XXX_Read, XXX_Write, XXX_Seek and XXX_IOControl, and optionally XXX_PreClose, XXX_PreDeinit,
 * XXX_PowerUp and XXX_PowerDown, with the types below. Context handles are pointer-sized: on the
 * handheld DWORD_PTR is a 32-bit DWORD, so the same source builds for both. Declare the entry
 * points with exactly these types: the host calls them through pointers of these types.
 */
#ifndef CE_PLATFORM_DEVLOAD_H
#define CE_PLATFORM_DEVLOAD_H

#include <windows.h>

#define DEVLOAD_DLLNAME_VALNAME TEXT("Dll")
#define DEVLOAD_PREFIX_VALNAME TEXT("Prefix")
#define DEVLOAD_INDEX_VALNAME TEXT("Index")
#define DEVLOAD_ORDER_VALNAME TEXT("Order")
#define DEVLOAD_ACTIVE_KEY TEXT("Drivers\\Active")
#define DEVLOAD_HANDLE_VALNAME TEXT("Hnd")
#define DEVLOAD_DEVNAME_VALNAME TEXT("Name")
#define DEVLOAD_DEVKEY_VALNAME TEXT("Key")
#define DEVLOAD_CLIENTINFO_VALNAME TEXT("ClientInfo")

/* A value that ActivateDeviceEx writes into the new Active key. */
typedef struct _REGINI {
    LPCWSTR lpszVal;
    LPBYTE pData;
    DWORD dwLen;
    DWORD dwType;
} REGINI, *LPREGINI;
typedef const REGINI* LPCREGINI;

/*
 * XXX_Init receives the path of its Drivers\Active key (an LPCWSTR, passed as a pointer-sized
 * word) and the client information: ActivateDevice's dwClientInfo, or ActivateDeviceEx's
 * lpvParam. It returns the device context, 0 on failure.
 */
typedef DWORD_PTR (*PFN_DEVICE_INIT)(DWORD_PTR dwContext, LPCVOID lpvBusContext);
typedef BOOL (*PFN_DEVICE_DEINIT)(DWORD_PTR hDeviceContext);
typedef BOOL (*PFN_DEVICE_PREDEINIT)(DWORD_PTR hDeviceContext);
typedef DWORD_PTR (*PFN_DEVICE_OPEN)(DWORD_PTR hDeviceContext, DWORD AccessCode, DWORD ShareMode);
typedef BOOL (*PFN_DEVICE_CLOSE)(DWORD_PTR hOpenContext);
typedef BOOL (*PFN_DEVICE_PRECLOSE)(DWORD_PTR hOpenContext);
typedef DWORD (*PFN_DEVICE_READ)(DWORD_PTR hOpenContext, LPVOID pBuffer, DWORD Count);
typedef DWORD (*PFN_DEVICE_WRITE)(DWORD_PTR hOpenContext, LPCVOID pBuffer, DWORD Count);
typedef DWORD (*PFN_DEVICE_SEEK)(DWORD_PTR hOpenContext, LONG Amount, WORD Type);
typedef BOOL (*PFN_DEVICE_IOCONTROL)(DWORD_PTR hOpenContext, DWORD dwCode, PBYTE pBufIn,
                                     DWORD dwLenIn, PBYTE pBufOut, DWORD dwLenOut,
                                     PDWORD pdwActualOut);
typedef void (*PFN_DEVICE_POWER)(DWORD_PTR hDeviceContext);

#endif /* CE_PLATFORM_DEVLOAD_H */

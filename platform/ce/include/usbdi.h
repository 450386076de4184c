/*
 * The USB driver interface: the function table the USB host stack hands to a client driver, the
 * exports a client driver provides, and the library calls that register a client driver.
 *
 * Transfers. Every call that issues a transfer returns a USB_TRANSFER (null on failure, with the
 * last error set). With a completion routine, or with USB_NO_WAIT, the call returns at once and
 * the transfer completes later; the routine is then called on a thread of the stack, with no
 * lock of the stack held. Without either, the call returns when the transfer has completed.
 * Every transfer handle must be closed with CloseTransfer. Closing a transfer that has not
 * completed cancels it; once CloseTransfer returns, the stack never touches the transfer's buffer
 * again and never calls its routine again. An IN transfer that ends short is USB_NO_ERROR only
 * with USB_SHORT_TRANSFER_OK, else USB_DATA_UNDERRUN_ERROR; a device that sends more than the
 * buffer holds gives USB_DATA_OVERRUN_ERROR. A transfer that ends with USB_STALL_ERROR halts its
 * pipe (IsPipeHalted, or IsDefaultPipeHalted for the default pipe): transfers issued on a halted
 * pipe fail with USB_STALL_ERROR until ResetPipe (ResetDefaultPipe).
 *
 * Registration. RegisterClientSettings writes
 *   HKEY_LOCAL_MACHINE\Drivers\USB\LoadClients\<group 1>\<group 2>\<group 3>\<driver id>
 * with "DLL" = the driver library's file name, where group 1 is built from the vendor, product
 * and release numbers, group 2 from the device class, subclass and protocol and group 3 from the
 * interface class, subclass and protocol: the numbers in decimal, joined with '_', up to the
 * first field that is USB_NO_INFO; "Default" when the group's first field is USB_NO_INFO. So
 * vendor 1246, product 2, everything else USB_NO_INFO is "1246_2\Default\Default\<driver id>".
 * A field after a USB_NO_INFO one cannot be expressed and is refused. RegisterClientDriverID
 * creates HKEY_LOCAL_MACHINE\Drivers\USB\ClientDrivers\<driver id>.
 *
 * Host sizes. On the handheld USB_FUNCS is 4 + 41 * 4 = 168 bytes. On this 64-bit host each entry
 * is 8 bytes, so a byte count that means "the whole table up to ResumeDevice" is
 * sizeof(USB_FUNCS) here; copy at most dwCount bytes of a table handed by the stack.
 */
#ifndef CE_PLATFORM_USBDI_H
#define CE_PLATFORM_USBDI_H

#include "usbtypes.h"
#include <windows.h>
#include <winreg.h>

#define USBDI_VERSION_MAJOR 1
#define USBDI_VERSION_MINOR 3

typedef VOID (*LPGET_USBD_VERSION)(LPDWORD lpdwMajorVersion, LPDWORD lpdwMinorVersion);
typedef HKEY (*LPOPEN_CLIENT_REGISTRY_KEY)(LPCWSTR szUniqueDriverId);
typedef BOOL (*LPREGISTER_NOTIFICATION_ROUTINE)(USB_HANDLE hDevice,
                                                LPDEVICE_NOTIFY_ROUTINE lpNotifyRoutine,
                                                LPVOID lpvNotifyParameter);
typedef BOOL (*LPUN_REGISTER_NOTIFICATION_ROUTINE)(USB_HANDLE hDevice,
                                                   LPDEVICE_NOTIFY_ROUTINE lpNotifyRoutine,
                                                   LPVOID lpvNotifyParameter);
typedef BOOL (*LPLOAD_GENERIC_INTERFACE_DRIVER)(USB_HANDLE hDevice, LPCUSB_INTERFACE lpInterface);
typedef DWORD (*LPTRANSLATE_STRING_DESCR)(LPCUSB_STRING_DESCRIPTOR lpStringDesc, LPWSTR szString,
                                          DWORD cchStringLength);
typedef LPCUSB_INTERFACE (*LPFIND_INTERFACE)(LPCUSB_DEVICE lpUsbDevice, UCHAR bInterfaceNumber,
                                             UCHAR bAlternateSetting);
typedef BOOL (*LPGET_FRAME_NUMBER)(USB_HANDLE hDevice, LPDWORD lpdwFrameNumber);
typedef BOOL (*LPGET_FRAME_LENGTH)(USB_HANDLE hDevice, LPUSHORT lpuFrameLength);
typedef BOOL (*LPTAKE_FRAME_LENGTH_CONTROL)(USB_HANDLE hDevice);
typedef BOOL (*LPRELEASE_FRAME_LENGTH_CONTROL)(USB_HANDLE hDevice);
typedef BOOL (*LPSET_FRAME_LENGTH)(USB_HANDLE hDevice, HANDLE hEvent, USHORT uFrameLength);
typedef LPCUSB_DEVICE (*LPGET_DEVICE_INFO)(USB_HANDLE hDevice);
typedef USB_TRANSFER (*LPISSUE_VENDOR_TRANSFER)(USB_HANDLE hDevice,
                                                LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                LPCUSB_DEVICE_REQUEST lpControlHeader,
                                                LPVOID lpvBuffer, ULONG uBufferPhysicalAddress);
typedef USB_TRANSFER (*LPGET_INTERFACE)(USB_HANDLE hDevice,
                                        LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                        LPVOID lpvNotifyParameter, DWORD dwFlags,
                                        UCHAR bInterfaceNumber, PUCHAR lpbAlternateSetting);
typedef USB_TRANSFER (*LPSET_INTERFACE)(USB_HANDLE hDevice,
                                        LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                        LPVOID lpvNotifyParameter, DWORD dwFlags,
                                        UCHAR bInterfaceNumber, UCHAR bAlternateSetting);
typedef USB_TRANSFER (*LPGET_DESCRIPTOR)(USB_HANDLE hDevice,
                                         LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                         LPVOID lpvNotifyParameter, DWORD dwFlags, UCHAR bType,
                                         UCHAR bIndex, WORD wLanguage, WORD wLength,
                                         LPVOID lpvBuffer);
typedef USB_TRANSFER (*LPSET_DESCRIPTOR)(USB_HANDLE hDevice,
                                         LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                         LPVOID lpvNotifyParameter, DWORD dwFlags, UCHAR bType,
                                         UCHAR bIndex, WORD wLanguage, WORD wLength,
                                         LPVOID lpvBuffer);
typedef USB_TRANSFER (*LPSET_FEATURE)(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                      LPVOID lpvNotifyParameter, DWORD dwFlags, WORD wFeature,
                                      UCHAR bIndex);
typedef USB_TRANSFER (*LPCLEAR_FEATURE)(USB_HANDLE hDevice,
                                        LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                        LPVOID lpvNotifyParameter, DWORD dwFlags, WORD wFeature,
                                        UCHAR bIndex);
typedef USB_TRANSFER (*LPGET_STATUS)(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                     LPVOID lpvNotifyParameter, DWORD dwFlags, UCHAR bIndex,
                                     LPWORD lpwStatus);
typedef USB_TRANSFER (*LPSYNC_FRAME)(USB_HANDLE hDevice, LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                     LPVOID lpvNotifyParameter, DWORD dwFlags, UCHAR bEndpoint,
                                     WORD wFrame);
typedef USB_PIPE (*LPOPEN_PIPE)(USB_HANDLE hDevice,
                                LPCUSB_ENDPOINT_DESCRIPTOR lpEndpointDescriptor);
typedef BOOL (*LPABORT_PIPE_TRANSFERS)(USB_PIPE hPipe, DWORD dwFlags);
typedef BOOL (*LPRESET_PIPE)(USB_PIPE hPipe);
typedef BOOL (*LPCLOSE_PIPE)(USB_PIPE hPipe);
typedef BOOL (*LPIS_PIPE_HALTED)(USB_PIPE hPipe, LPBOOL lpbHalted);
typedef USB_TRANSFER (*LPISSUE_CONTROL_TRANSFER)(USB_PIPE hPipe,
                                                 LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                 LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                 LPCVOID lpvControlHeader, DWORD dwBufferSize,
                                                 LPVOID lpvBuffer, ULONG uBufferPhysicalAddress);
typedef USB_TRANSFER (*LPISSUE_BULK_TRANSFER)(USB_PIPE hPipe,
                                              LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                              LPVOID lpvNotifyParameter, DWORD dwFlags,
                                              DWORD dwBufferSize, LPVOID lpvBuffer,
                                              ULONG uBufferPhysicalAddress);
typedef USB_TRANSFER (*LPISSUE_INTERRUPT_TRANSFER)(USB_PIPE hPipe,
                                                   LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                   LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                   DWORD dwBufferSize, LPVOID lpvBuffer,
                                                   ULONG uBufferPhysicalAddress);
typedef USB_TRANSFER (*LPISSUE_ISOCH_TRANSFER)(USB_PIPE hPipe,
                                               LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                               LPVOID lpvNotifyParameter, DWORD dwFlags,
                                               DWORD dwStartingFrame, DWORD dwFrames,
                                               LPCDWORD lpdwLengths, LPVOID lpvBuffer,
                                               ULONG uBufferPhysicalAddress);
typedef BOOL (*LPIS_TRANSFER_COMPLETE)(USB_TRANSFER hTransfer);
typedef BOOL (*LPGET_TRANSFER_STATUS)(USB_TRANSFER hTransfer, LPDWORD lpdwBytesTransferred,
                                      LPDWORD lpdwError);
typedef BOOL (*LPGET_ISOCH_RESULTS)(USB_TRANSFER hTransfer, DWORD cFrames,
                                    LPDWORD lpdwBytesTransferred, LPDWORD lpdwErrors);
typedef BOOL (*LPABORT_TRANSFER)(USB_TRANSFER hTransfer, DWORD dwFlags);
typedef BOOL (*LPCLOSE_TRANSFER)(USB_TRANSFER hTransfer);
typedef BOOL (*LPRESET_DEFAULT_PIPE)(USB_HANDLE hDevice);
typedef BOOL (*LPIS_DEFAULT_PIPE_HALTED)(USB_HANDLE hDevice, LPBOOL lpbHalted);
typedef BOOL (*LPDISABLE_DEVICE)(USB_HANDLE hDevice, BOOL fResetDevice, UCHAR bInterfaceNumber);
typedef BOOL (*LPSUSPEND_DEVICE)(USB_HANDLE hDevice, UCHAR bInterfaceNumber);
typedef BOOL (*LPRESUME_DEVICE)(USB_HANDLE hDevice, UCHAR bInterfaceNumber);

/* The stack's function table: a size word, then 41 entries in this order. An entry past dwCount
 * is not offered (and is null); so is a null entry. */
typedef struct _USB_FUNCS {
    DWORD dwCount; /* bytes of the table the stack offers */
    LPGET_USBD_VERSION lpGetUSBDVersion;
    /* Spelled as the handheld's header spells it, so that its sources build unchanged. */
    LPOPEN_CLIENT_REGISTRY_KEY lpOpenClientRegistyKey;
    LPREGISTER_NOTIFICATION_ROUTINE lpRegisterNotificationRoutine;
    LPUN_REGISTER_NOTIFICATION_ROUTINE lpUnRegisterNotificationRoutine;
    LPLOAD_GENERIC_INTERFACE_DRIVER lpLoadGenericInterfaceDriver;
    LPTRANSLATE_STRING_DESCR lpTranslateStringDescr;
    LPFIND_INTERFACE lpFindInterface;
    LPGET_FRAME_NUMBER lpGetFrameNumber;
    LPGET_FRAME_LENGTH lpGetFrameLength;
    LPTAKE_FRAME_LENGTH_CONTROL lpTakeFrameLengthControl;
    LPRELEASE_FRAME_LENGTH_CONTROL lpReleaseFrameLengthControl;
    LPSET_FRAME_LENGTH lpSetFrameLength;
    LPGET_DEVICE_INFO lpGetDeviceInfo;
    LPISSUE_VENDOR_TRANSFER lpIssueVendorTransfer;
    LPGET_INTERFACE lpGetInterface;
    LPSET_INTERFACE lpSetInterface;
    LPGET_DESCRIPTOR lpGetDescriptor;
    LPSET_DESCRIPTOR lpSetDescriptor;
    LPSET_FEATURE lpSetFeature;
    LPCLEAR_FEATURE lpClearFeature;
    LPGET_STATUS lpGetStatus;
    LPSYNC_FRAME lpSyncFrame;
    LPOPEN_PIPE lpOpenPipe;
    LPABORT_PIPE_TRANSFERS lpAbortPipeTransfers;
    LPRESET_PIPE lpResetPipe;
    LPCLOSE_PIPE lpClosePipe;
    LPIS_PIPE_HALTED lpIsPipeHalted;
    LPISSUE_CONTROL_TRANSFER lpIssueControlTransfer;
    LPISSUE_BULK_TRANSFER lpIssueBulkTransfer;
    LPISSUE_INTERRUPT_TRANSFER lpIssueInterruptTransfer;
    LPISSUE_ISOCH_TRANSFER lpIssueIsochTransfer;
    LPIS_TRANSFER_COMPLETE lpIsTransferComplete;
    LPGET_TRANSFER_STATUS lpGetTransferStatus;
    LPGET_ISOCH_RESULTS lpGetIsochResults;
    LPABORT_TRANSFER lpAbortTransfer;
    LPCLOSE_TRANSFER lpCloseTransfer;
    LPRESET_DEFAULT_PIPE lpResetDefaultPipe;
    LPIS_DEFAULT_PIPE_HALTED lpIsDefaultPipeHalted;
    LPDISABLE_DEVICE lpDisableDevice;
    LPSUSPEND_DEVICE lpSuspendDevice;
    LPRESUME_DEVICE lpResumeDevice;
} USB_FUNCS, *PUSB_FUNCS, *LPUSB_FUNCS;
typedef const USB_FUNCS* LPCUSB_FUNCS;

#ifdef __cplusplus
/* 168 bytes on the handheld; on this host the size word is padded to the entries' alignment. */
static_assert(sizeof(USB_FUNCS) == 42 * sizeof(void*), "USB_FUNCS is a size word and 41 entries");
#endif

/* Client driver exports, looked up by these names when the stack loads a client library. */
typedef BOOL (*LPUSB_DEVICE_ATTACH)(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs,
                                    LPCUSB_INTERFACE lpInterface, LPCWSTR szUniqueDriverId,
                                    LPBOOL fAcceptControl, LPCUSB_DRIVER_SETTINGS lpDriverSettings,
                                    DWORD dwUnused);
typedef BOOL (*LPUSB_INSTALL_DRIVER)(LPCWSTR szDriverLibFile);
typedef BOOL (*LPUSB_UNINSTALL_DRIVER)(void);

#define USB_DEVICE_ATTACH_PROCNAME "USBDeviceAttach"
#define USB_INSTALL_DRIVER_PROCNAME "USBInstallDriver"
#define USB_UNINSTALL_DRIVER_PROCNAME "USBUnInstallDriver"

/* Registration calls, for a client's USBInstallDriver and USBUnInstallDriver. */
typedef BOOL (*LPREGISTER_CLIENT_DRIVER_ID)(LPCWSTR szUniqueDriverId);
typedef BOOL (*LPUN_REGISTER_CLIENT_DRIVER_ID)(LPCWSTR szUniqueDriverId);
typedef BOOL (*LPREGISTER_CLIENT_SETTINGS)(LPCWSTR szDriverLibFile, LPCWSTR szUniqueDriverId,
                                           LPCWSTR szReserved,
                                           LPCUSB_DRIVER_SETTINGS lpDriverSettings);
typedef BOOL (*LPUN_REGISTER_CLIENT_SETTINGS)(LPCWSTR szUniqueDriverId, LPCWSTR szReserved,
                                              LPCUSB_DRIVER_SETTINGS lpDriverSettings);

#ifdef __cplusplus
extern "C" {
#endif

/* Declared here so that a client's definitions get C linkage and the names the stack looks up. */
BOOL USBDeviceAttach(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs, LPCUSB_INTERFACE lpInterface,
                     LPCWSTR szUniqueDriverId, LPBOOL fAcceptControl,
                     LPCUSB_DRIVER_SETTINGS lpDriverSettings, DWORD dwUnused);
BOOL USBInstallDriver(LPCWSTR szDriverLibFile);
BOOL USBUnInstallDriver(void);

BOOL RegisterClientDriverID(LPCWSTR szUniqueDriverId);
/* Removes the client key only while it is as RegisterClientDriverID created it, with no values
 * or sub-keys: a driver's configuration under it outlives the registration. */
BOOL UnRegisterClientDriverID(LPCWSTR szUniqueDriverId);
BOOL RegisterClientSettings(LPCWSTR lpszDriverLibFile, LPCWSTR lpszUniqueDriverId,
                            LPCWSTR szReserved, LPCUSB_DRIVER_SETTINGS lpDriverSettings);
BOOL UnRegisterClientSettings(LPCWSTR lpszUniqueDriverId, LPCWSTR szReserved,
                              LPCUSB_DRIVER_SETTINGS lpDriverSettings);
/* HKEY_LOCAL_MACHINE\Drivers\USB\ClientDrivers\<driver id>, opened; null if it does not exist.
 * Close it with RegCloseKey. */
HKEY OpenClientRegistryKey(LPCWSTR szUniqueDriverId);

#ifdef __cplusplus
}
#endif

#endif /* CE_PLATFORM_USBDI_H */

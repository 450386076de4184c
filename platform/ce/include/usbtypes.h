/*
 * Types shared by the USB host stack and its client drivers: handles, the stack's views of a
 * device (USB_DEVICE, USB_CONFIGURATION, USB_INTERFACE, USB_ENDPOINT), transfer flags, USB
 * error codes and the notification routines.
 *
 * The descriptor records inside the views are packed (usb100.h); the views themselves use the
 * host's natural alignment, so on this 64-bit host their sizes differ from the handheld's. Every
 * view starts with dwCount, the size of the view as the stack built it.
 */
#ifndef CE_PLATFORM_USBTYPES_H
#define CE_PLATFORM_USBTYPES_H

#include "usb100.h"

/* Opaque handles of the stack; each names one device, pipe or transfer and is never dereferenced
 * by a client. Distinct types catch a pipe passed where a transfer belongs. */
typedef struct USB_DEVICE_HANDLE__* USB_HANDLE;
typedef struct USB_PIPE_HANDLE__* USB_PIPE;
typedef struct USB_TRANSFER_HANDLE__* USB_TRANSFER;

/* A field of USB_DRIVER_SETTINGS that matches anything. */
#define USB_NO_INFO 0xFFFFFFFFu

/* Transfer flags. */
#define USB_OUT_TRANSFER 0x00000000
#define USB_IN_TRANSFER 0x00000080
#define USB_NO_WAIT 0x00000100
#define USB_SHORT_TRANSFER_OK 0x00000200
#define USB_START_ISOCH_ASAP 0x00000400
#define USB_COMPRESS_ISOCH 0x00000800
#define USB_SEND_TO_DEVICE 0x00001000
#define USB_SEND_TO_INTERFACE 0x00002000
#define USB_SEND_TO_ENDPOINT 0x00004000
#define USB_DONT_BLOCK_FOR_MEM 0x00008000

/* USB error codes, as GetTransferStatus reports them. */
#define USB_NO_ERROR 0x00000000
#define USB_CRC_ERROR 0x00000001
#define USB_BIT_STUFFING_ERROR 0x00000002
#define USB_DATA_TOGGLE_MISMATCH_ERROR 0x00000003
#define USB_STALL_ERROR 0x00000004
#define USB_DEVICE_NOT_RESPONDING_ERROR 0x00000005
#define USB_PID_CHECK_FAILURE_ERROR 0x00000006
#define USB_UNEXPECTED_PID_ERROR 0x00000007
#define USB_DATA_OVERRUN_ERROR 0x00000008
#define USB_DATA_UNDERRUN_ERROR 0x00000009
#define USB_BUFFER_OVERRUN_ERROR 0x0000000C
#define USB_BUFFER_UNDERRUN_ERROR 0x0000000D
#define USB_NOT_ACCESSED_ERROR 0x0000000F
#define USB_ISOCH_ERROR 0x00000100
#define USB_CANCELED_ERROR 0x00000101
#define USB_NOT_COMPLETE_ERROR 0x00000103
#define USB_CLIENT_BUFFER_ERROR 0x00000104

/* Device notification codes. */
#define USB_CLOSE_DEVICE 1

typedef struct _USB_ENDPOINT {
    DWORD dwCount;
    USB_ENDPOINT_DESCRIPTOR Descriptor;
    LPCVOID lpvExtended; /* class- or vendor-specific descriptors after it, or null */
} USB_ENDPOINT, *PUSB_ENDPOINT, *LPUSB_ENDPOINT;
typedef const USB_ENDPOINT* LPCUSB_ENDPOINT;

/* One alternate setting of one interface; lpEndpoints holds Descriptor.bNumEndpoints entries. */
typedef struct _USB_INTERFACE {
    DWORD dwCount;
    USB_INTERFACE_DESCRIPTOR Descriptor;
    LPCVOID lpvExtended;
    LPCUSB_ENDPOINT lpEndpoints;
} USB_INTERFACE, *PUSB_INTERFACE, *LPUSB_INTERFACE;
typedef const USB_INTERFACE* LPCUSB_INTERFACE;

/* lpInterfaces holds dwNumInterfaces entries: every alternate setting of every interface, in
 * the order of the configuration descriptor. */
typedef struct _USB_CONFIGURATION {
    DWORD dwCount;
    USB_CONFIGURATION_DESCRIPTOR Descriptor;
    LPCVOID lpvExtended;
    DWORD dwNumInterfaces;
    LPCUSB_INTERFACE lpInterfaces;
} USB_CONFIGURATION, *PUSB_CONFIGURATION, *LPUSB_CONFIGURATION;
typedef const USB_CONFIGURATION* LPCUSB_CONFIGURATION;

/* lpConfigs holds Descriptor.bNumConfigurations entries. */
typedef struct _USB_DEVICE {
    DWORD dwCount;
    USB_DEVICE_DESCRIPTOR Descriptor;
    LPCUSB_CONFIGURATION lpConfigs;
    LPCUSB_CONFIGURATION lpActiveConfig;
} USB_DEVICE, *PUSB_DEVICE, *LPUSB_DEVICE;
typedef const USB_DEVICE* LPCUSB_DEVICE;

/* Which devices a client driver is loaded for: ten DWORDs, 40 bytes on both platforms. */
typedef struct _USB_DRIVER_SETTINGS {
    DWORD dwCount; /* sizeof(USB_DRIVER_SETTINGS) */
    DWORD dwVendorId;
    DWORD dwProductId;
    DWORD dwReleaseNumber;
    DWORD dwDeviceClass;
    DWORD dwDeviceSubClass;
    DWORD dwDeviceProtocol;
    DWORD dwInterfaceClass;
    DWORD dwInterfaceSubClass;
    DWORD dwInterfaceProtocol;
} USB_DRIVER_SETTINGS, *PUSB_DRIVER_SETTINGS, *LPUSB_DRIVER_SETTINGS;
typedef const USB_DRIVER_SETTINGS* LPCUSB_DRIVER_SETTINGS;

#ifdef __cplusplus
static_assert(sizeof(USB_DRIVER_SETTINGS) == 40, "driver settings are ten DWORDs");
#else
_Static_assert(sizeof(USB_DRIVER_SETTINGS) == 40, "driver settings are ten DWORDs");
#endif

/* Called on a thread of the stack when a transfer issued with it completes. */
typedef DWORD(CALLBACK* LPTRANSFER_NOTIFY_ROUTINE)(LPVOID lpvNotifyParameter);

/* Called on a thread of the stack with USB_CLOSE_DEVICE when the device goes away; the four
 * info words are null. Returns TRUE if it handled the code. */
typedef BOOL(CALLBACK* LPDEVICE_NOTIFY_ROUTINE)(LPVOID lpvNotifyParameter, DWORD dwCode,
                                                LPDWORD* dwInfo1, LPDWORD* dwInfo2,
                                                LPDWORD* dwInfo3, LPDWORD* dwInfo4);

#endif /* CE_PLATFORM_USBTYPES_H */

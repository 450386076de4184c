/*
 * DERMO: the fingerprint sensor as a stream device, for applications.
 *
 * The driver publishes each attached sensor as "DRX1:", "DRX2:" and so on. An application opens
 * it with CreateFileW, moves bulk data with ReadFile and WriteFile, and uses the control codes
 * below with DeviceIoControl. Every code uses buffered transfer.
 *
 * Reads and writes. A call is cut into transfers of at most "MaxBulkReadSize" /
 * "MaxBulkWriteSize" bytes (driver key settings). The handle's read or write time-out (infinite
 * at open, IOCTL_SENSOR_SET_TIMEOUTS) bounds the whole call, or each single transfer when the
 * handle's SENSOR_PROPERTY_TIMEOUT_PER_REQUEST is 1. A call that times out after moving bytes
 * succeeds with the count moved, as a COM port's ReadFile does when its total time-out expires,
 * and leaves the last error as it was; only a call that moved nothing fails with ERROR_TIMEOUT.
 * A call that fails otherwise reports nothing of what it moved before it failed. Errors:
 * ERROR_NOT_READY (the sensor was unplugged), ERROR_INVALID_PARAMETER (no buffer or no bytes),
 * ERROR_TIMEOUT, ERROR_GEN_FAILURE.
 *
 * Control codes. On success DeviceIoControl returns TRUE, the byte count says how much of the
 * output was written, and GetLastError is 0. On failure it returns FALSE with the error:
 *   ERROR_NOT_SUPPORTED       a code that is not listed here (also the reserved ones)
 *   ERROR_NOT_READY           the sensor was unplugged
 *   ERROR_INVALID_PARAMETER   input shorter than the code needs, a bad pipe selector or
 *                             descriptor type, a vendor write longer than 0xFFFF bytes, or a
 *                             buffer that is missing (see below)
 *   ERROR_INSUFFICIENT_BUFFER output shorter than the code needs, a vendor read whose record
 *                             length is below the output length, or a descriptor longer than
 *                             the output
 *   ERROR_GEN_FAILURE or the USB stack's error, for a request that failed on the bus
 *   SENSOR_E_UNKNOWN_PROPERTY, SENSOR_E_READ_ONLY_PROPERTY for the property codes
 *
 * Buffers. A null input or output buffer whose length the code would use, and a null data
 * pointer in a vendor request whose length is nonzero, are refused with
 * ERROR_INVALID_PARAMETER before anything is sent to the sensor. Lengths are checked before
 * pointers: a null buffer with too short a length gets the length's error.
 *
 * Usable from C and C++.
 */
#ifndef DERMO_DERMO_H
#define DERMO_DERMO_H

#include <windows.h>

/* The stream device prefix: the sensors are "DRX1:", "DRX2:", ... */
#define DERMO_DEVICE_PREFIX "DRX"

/* Device type 0x8000, functions 0x800 to 0x80B, any access. Functions 0x800, 0x802, 0x809 and
 * 0x80A are reserved and answered with ERROR_NOT_SUPPORTED. */
#define IOCTL_SENSOR_ABORT_AND_RESET_PIPES 0x80002004u /* in: DWORD pipe selector */
#define IOCTL_SENSOR_VENDOR_READ 0x8000200Cu           /* in: SENSOR_VENDOR_REQUEST */
#define IOCTL_SENSOR_VENDOR_WRITE 0x80002010u          /* in: SENSOR_VENDOR_REQUEST */
#define IOCTL_SENSOR_GET_MAX_PACKET_SIZES 0x80002014u  /* out: SENSOR_PACKET_SIZES */
#define IOCTL_SENSOR_GET_DEVICE_IDS 0x80002018u        /* out: SENSOR_DEVICE_IDS */
#define IOCTL_SENSOR_RESET_PIPES 0x8000201Cu           /* in: DWORD pipe selector */
#define IOCTL_SENSOR_GET_DESCRIPTOR 0x80002020u        /* in: SENSOR_DESCRIPTOR_REQUEST */
#define IOCTL_SENSOR_SET_TIMEOUTS 0x8000202Cu          /* in: SENSOR_TIMEOUTS */

/* Device type 0x81C0: the property interface. */
#define IOCTL_SENSOR_EXT_GET_FIXED_INFO 0x81C06070u /* out: DWORDs 1, 1, 3 (and 0 if room) */
#define IOCTL_SENSOR_EXT_GET_PROPERTY                                                     \
    0x81C060A4u                                   /* in: SENSOR_PROPERTY_REQUEST (8 bytes \
                                                     suffice), out: DWORD */
#define IOCTL_SENSOR_EXT_NOOP_CHECKED 0x81C0E080u /* in: 8 bytes, not examined */
#define IOCTL_SENSOR_EXT_NOOP 0x81C0E084u
#define IOCTL_SENSOR_EXT_SET_PROPERTY 0x81C0E0A0u /* in: SENSOR_PROPERTY_REQUEST */

/* Errors of the 0x81C0 family, reported through GetLastError. */
#define SENSOR_E_UNKNOWN_PROPERTY 0xE81C0004u
#define SENSOR_E_READ_ONLY_PROPERTY 0xE81C0006u

/* Properties: 12 to 15 are fixed (read as 0, refuse writes). SENSOR_PROPERTY_TIMEOUT_PER_REQUEST
 * is this handle's alone: 1 when the time-outs bound each transfer, 0 when they bound the call. */
#define SENSOR_PROPERTY_TIMEOUT_PER_REQUEST 0x400u

/* Pipe selectors of the two pipe-reset codes. */
#define PIPE_SELECT_IN 1u
#define PIPE_SELECT_OUT 2u
#define PIPE_SELECT_BOTH 3u

/* A vendor control request on the default pipe: wValue and wIndex are the low 16 bits of value
 * and index, wLength is length. A control transfer carries at most 0xFFFF bytes: a longer read
 * asks for 0xFFFF, a longer write is refused (ERROR_INVALID_PARAMETER) rather than cut. A read
 * (bRequest 0x0C for a length of 0 or 1, else 0x04) fills buffer; a write sends from it. The handheld's record is 16 bytes; on a 64-bit host the pointer
 * makes it sizeof(SENSOR_VENDOR_REQUEST). */
typedef struct _SENSOR_VENDOR_REQUEST {
    DWORD value;
    DWORD length;
    LPVOID buffer;
    DWORD index;
} SENSOR_VENDOR_REQUEST;

/* A standard descriptor: type 1 (device, output of 18 bytes or more), 2 (configuration, 9 or
 * more) or 3 (string, 4 or more; language used for strings only). An output longer than 0xFFFF
 * bytes asks for 0xFFFF, the most a control transfer carries. */
typedef struct _SENSOR_DESCRIPTOR_REQUEST {
    BYTE type;
    BYTE index;
    WORD language;
} SENSOR_DESCRIPTOR_REQUEST;

/* Milliseconds; a zero word leaves that time-out as it was. */
typedef struct _SENSOR_TIMEOUTS {
    DWORD readTimeout;
    DWORD writeTimeout;
    DWORD controlTimeout;
} SENSOR_TIMEOUTS;

/* wMaxPacketSize of each pipe, 0 for a pipe that is not open. */
typedef struct _SENSOR_PACKET_SIZES {
    DWORD interruptIn;
    DWORD bulkIn;
    DWORD bulkOut;
} SENSOR_PACKET_SIZES;

/* From the device descriptor. */
typedef struct _SENSOR_DEVICE_IDS {
    WORD vendorId;
    WORD productId;
    WORD release; /* bcdDevice */
    WORD reserved;
} SENSOR_DEVICE_IDS;

typedef struct _SENSOR_PROPERTY_REQUEST {
    DWORD property;
    DWORD reserved;
    DWORD value; /* set only */
} SENSOR_PROPERTY_REQUEST;

#endif /* DERMO_DERMO_H */

/*
 * DERMO: the fingerprint sensor as a stream device, for applications.
 *
 * The driver publishes each attached sensor as "DRX1:", "DRX2:" and so on. An application opens
 * it with CreateFileW, moves bulk data with ReadFile and WriteFile, and uses the control codes
 * below with DeviceIoControl. Every code uses buffered transfer.
 *
 * Usable from C and C++.
 */
#ifndef DERMO_DERMO_H
#define DERMO_DERMO_H

/* The stream device prefix: the sensors are "DRX1:", "DRX2:", ... */
#define DERMO_DEVICE_PREFIX "DRX"

/* Device type 0x8000, functions 0x800 to 0x80B, any access. */
#define IOCTL_SENSOR_ABORT_AND_RESET_PIPES 0x80002004u
#define IOCTL_SENSOR_VENDOR_READ 0x8000200Cu
#define IOCTL_SENSOR_VENDOR_WRITE 0x80002010u
#define IOCTL_SENSOR_GET_MAX_PACKET_SIZES 0x80002014u
#define IOCTL_SENSOR_GET_DEVICE_IDS 0x80002018u
#define IOCTL_SENSOR_RESET_PIPES 0x8000201Cu
#define IOCTL_SENSOR_GET_DESCRIPTOR 0x80002020u
#define IOCTL_SENSOR_SET_TIMEOUTS 0x8000202Cu

/* Device type 0x81C0: the property interface. */
#define IOCTL_SENSOR_EXT_GET_FIXED_INFO 0x81C06070u
#define IOCTL_SENSOR_EXT_GET_PROPERTY 0x81C060A4u
#define IOCTL_SENSOR_EXT_NOOP_CHECKED 0x81C0E080u
#define IOCTL_SENSOR_EXT_NOOP 0x81C0E084u
#define IOCTL_SENSOR_EXT_SET_PROPERTY 0x81C0E0A0u

/* Errors of the 0x81C0 family, reported through GetLastError. */
#define SENSOR_E_UNKNOWN_PROPERTY 0xE81C0004u
#define SENSOR_E_READ_ONLY_PROPERTY 0xE81C0006u

/* Properties: 12 to 15 are fixed (read as 0, refuse writes). */
#define SENSOR_PROPERTY_TIMEOUT_PER_REQUEST 0x400u

/* Pipe selectors of the two pipe-reset codes. */
#define PIPE_SELECT_IN 1u
#define PIPE_SELECT_OUT 2u
#define PIPE_SELECT_BOTH 3u

#endif /* DERMO_DERMO_H */

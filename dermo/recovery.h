// What the driver does after a failed transfer: recover the pipe (reset it if halted and ask the
// sensor to clear its endpoint halt), recover the default pipe, and reset the sensor.
#pragma once

#include <usbdi.h>
#include <windows.h>

#include "context.h"

// FALSE only when the pipe is halted and ResetPipe fails.
BOOL ResetPipeIfHalted(LPCUSB_FUNCS usb, USB_PIPE pipe);

// CLEAR_FEATURE(ENDPOINT_HALT) with the endpoint index given, waited for as a transfer. 0,
// ERROR_TIMEOUT, ERROR_GEN_FAILURE, or the stack's error for a refused request. Does not set the
// last error.
DWORD ClearEndpointHalt(LPCUSB_FUNCS usb, USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                        HANDLE event, DWORD flags, UCHAR endpointIndex, DWORD wait);

// A pipe that is not halted needs nothing (the routine is still called, so its event is set);
// otherwise it is reset and the sensor is asked to clear the halt. 0 or the clear request's
// error, which is also set as the last error.
DWORD RecoverPipe(LPCUSB_FUNCS usb, USB_HANDLE device, USB_PIPE pipe,
                  LPTRANSFER_NOTIFY_ROUTINE routine, HANDLE event, UCHAR endpointIndex, DWORD wait);

// Resets the default pipe if it is halted. 0, ERROR_INVALID_PARAMETER, ERROR_GEN_FAILURE for a
// failed reset, or the last error of a failed halt query. Does not set the last error.
DWORD RecoverDefaultPipe(LPCUSB_FUNCS usb, USB_HANDLE device);

// A port reset of the sensor where the stack can do one, else recovery of the default pipe.
void ResetSensor(DeviceContext* context);

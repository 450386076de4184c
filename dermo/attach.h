// Recognition of a plugged-in sensor and its teardown when the USB stack reports it gone.
#pragma once

#include "context.h"

// The client driver key: registration, the "Dll" and "Prefix" of the stream device, and the
// transfer settings read at each attach.
#define DERMO_CLIENT_DRIVER_ID TEXT("Papilla_USB_driver")
#define DERMO_CLIENT_DRIVER_KEY TEXT("Drivers\\USB\\ClientDrivers\\Papilla_USB_driver")

// The interface to drive: the first alternate setting of the attach's interface number that is
// vendor-specific (or unclassified) and has at least three endpoints; null when none qualifies.
LPCUSB_INTERFACE FindSensorInterface(DeviceContext* context, LPCUSB_INTERFACE offered);

// Selects the alternate setting, reads the settings and opens the three pipes. TRUE only when
// bulk IN, bulk OUT and interrupt IN are all open.
BOOL ConfigureInterface(DeviceContext* context);

// The notification routine registered with the USB stack; the parameter is the DeviceContext.
BOOL CALLBACK DeviceNotify(LPVOID lpvNotifyParameter, DWORD dwCode, LPDWORD* dwInfo1,
                           LPDWORD* dwInfo2, LPDWORD* dwInfo3, LPDWORD* dwInfo4);

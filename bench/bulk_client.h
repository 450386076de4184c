// What the benchmark's bare USB client got from the stack (bulk_client.cpp).
#pragma once

#include <usbdi.h>

struct BulkClient {
    LPCUSB_FUNCS funcs;
    USB_HANDLE device;
    USB_PIPE bulkIn;
};

// The device's table, handle and bulk IN pipe once the client is attached, else null.
extern "C" const BulkClient* BulkClientAttached();

// What the test client driver records, read by the tests through TestClient_State from the same
// library file the stack loads.
#pragma once

#include <usbdi.h>

#include <string>

struct TestClientState {
    int attachCalls = 0;
    int refusals = 0;
    USB_HANDLE device = nullptr;
    LPCUSB_FUNCS funcs = nullptr;
    LPCUSB_INTERFACE interfaceGiven = nullptr;
    std::u16string driverId;
    USB_DRIVER_SETTINGS settings{};
    USB_PIPE bulkIn = nullptr;
    USB_PIPE bulkOut = nullptr;
    HANDLE activeDevice = nullptr;

    int notifications = 0;
    DWORD notifyCode = 0;
    DWORD notifyThread = 0;
    // Optional: set when the notification starts; waited on before it tears down.
    HANDLE notificationEntered = nullptr;
    HANDLE notificationGate = nullptr;

    int opens = 0;
    int inits = 0;
    int deinits = 0;
};

using TestClientStateFn = TestClientState* (*)();

// The client's identity, as its USBInstallDriver registers it.
inline constexpr char16_t kTestClientId[] = u"Test_USB_client";
inline constexpr char16_t kTestClientKey[] = u"Drivers\\USB\\ClientDrivers\\Test_USB_client";
inline constexpr DWORD kTestVendor = 0x1234;
inline constexpr DWORD kTestProduct = 0x5678;

// A USB stack in miniature for the driver's attach: one device built from a sensor profile,
// served through a USB_FUNCS table whose entries record what the driver asked for. The entries
// are plain functions, so the fake is one object per test program (reset() between tests).
#pragma once

#include <sensor/sensor_profile.h>
#include <usbdi.h>

#include <vector>

struct FakeUsb {
    // Builds the device from the profile and a full table (suspend offered).
    void reset(const sim::SensorProfile& profile);

    USB_FUNCS funcs{};
    USB_DEVICE device{};
    USB_CONFIGURATION config{};
    std::vector<USB_INTERFACE> interfaces;
    std::vector<std::vector<USB_ENDPOINT>> endpoints;

    int suspendCalls = 0;
    int resumeCalls = 0;
    int setInterfaceCalls = 0;
    BYTE selectedInterface = 0xFF;
    BYTE selectedAlternate = 0xFF;
    int openTransfers = 0;
    std::vector<BYTE> openedEndpoints;  // addresses, in OpenPipe order
    int openPipes = 0;
    bool failOpenPipe = false;
    LPDEVICE_NOTIFY_ROUTINE notifyRoutine = nullptr;
    LPVOID notifyParameter = nullptr;
    int unregisterCalls = 0;
};

extern FakeUsb fakeUsb;

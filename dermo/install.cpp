// Registration of the driver with the USB stack, and its removal.
#include "attach.h"
#include "exports.h"
#include "registry_values.h"
#include "sensor_identity.h"

namespace {

// The settings that match one sensor model: its vendor and product, anything else.
USB_DRIVER_SETTINGS SettingsFor(DWORD vendor, DWORD product) {
    USB_DRIVER_SETTINGS settings;
    settings.dwCount = sizeof(USB_DRIVER_SETTINGS);
    settings.dwVendorId = vendor;
    settings.dwProductId = product;
    settings.dwReleaseNumber = USB_NO_INFO;
    settings.dwDeviceClass = USB_NO_INFO;
    settings.dwDeviceSubClass = USB_NO_INFO;
    settings.dwDeviceProtocol = USB_NO_INFO;
    settings.dwInterfaceClass = USB_NO_INFO;
    settings.dwInterfaceSubClass = USB_NO_INFO;
    settings.dwInterfaceProtocol = USB_NO_INFO;
    return settings;
}

// Calls visit with the settings of each pairing, vendor-major; returns how many calls failed.
template <class Visit>
DWORD ForEachPairing(Visit visit) {
    DWORD failures = 0;
    for (DWORD v = 0; v < kSensorVendorCount; ++v)
        for (DWORD p = 0; p < kSensorProductCount; ++p) {
            USB_DRIVER_SETTINGS settings =
                SettingsFor(SensorIdentityTable[v], SensorIdentityTable[kSensorVendorCount + p]);
            if (!visit(&settings)) ++failures;
        }
    return failures;
}

}  // namespace

BOOL USBInstallDriver(LPCWSTR szDriverLibFile) {
    if (!RegisterClientDriverID(DERMO_CLIENT_DRIVER_ID)) return FALSE;
    const DWORD failures = ForEachPairing([&](LPUSB_DRIVER_SETTINGS settings) {
        return RegisterClientSettings(szDriverLibFile, DERMO_CLIENT_DRIVER_ID, nullptr, settings) !=
               FALSE;
    });
    const RegistryValueEntry values[] = {
        {TEXT("Dll"), REG_SZ, TEXT("DERMO.DLL")},
        {TEXT("Prefix"), REG_SZ, TEXT("DRX")},
        {nullptr, REG_NONE, nullptr},
    };
    if (failures == 0 && WriteRegistryValues(DERMO_CLIENT_DRIVER_KEY, values, TRUE)) return TRUE;
    USBUnInstallDriver();
    return FALSE;
}

BOOL USBUnInstallDriver() {
    ForEachPairing([](LPUSB_DRIVER_SETTINGS settings) {
        return UnRegisterClientSettings(DERMO_CLIENT_DRIVER_ID, nullptr, settings) != FALSE;
    });
    return UnRegisterClientDriverID(DERMO_CLIENT_DRIVER_ID);
}

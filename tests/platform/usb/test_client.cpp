// A small USB client driver: USBInstallDriver registers it for the test device; USBDeviceAttach
// opens the bulk pipes and publishes the stream device "XYZ" through ActivateDevice when its
// client driver key names a prefix; XYZ_Read reads the bulk IN pipe. A driver id containing
// "Refuse" makes it open a pipe and refuse the device.
#include "test_client.h"

#include <devload.h>
#include <usbdi.h>

namespace {

TestClientState state;

constexpr WCHAR kLibraryName[] = u"USBTESTCLIENT.DLL";

bool contains(const std::u16string& text, const char16_t* part) {
    return text.find(part) != std::u16string::npos;
}

bool writeString(HKEY key, const WCHAR* name, const std::u16string& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
}

USB_DRIVER_SETTINGS testSettings() {
    return {sizeof(USB_DRIVER_SETTINGS),
            kTestVendor,
            kTestProduct,
            USB_NO_INFO,
            USB_NO_INFO,
            USB_NO_INFO,
            USB_NO_INFO,
            USB_NO_INFO,
            USB_NO_INFO,
            USB_NO_INFO};
}

bool hasPrefix(const std::u16string& driverKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, driverKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    const bool found = RegQueryValueExW(key, DEVLOAD_PREFIX_VALNAME, nullptr, nullptr, nullptr,
                                        &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

USB_PIPE openFirst(LPCUSB_INTERFACE setting, BYTE type, bool in) {
    for (BYTE i = 0; i < setting->Descriptor.bNumEndpoints; ++i) {
        const USB_ENDPOINT_DESCRIPTOR& e = setting->lpEndpoints[i].Descriptor;
        if ((e.bmAttributes & USB_ENDPOINT_TYPE_MASK) == type &&
            (USB_ENDPOINT_DIRECTION_IN(e.bEndpointAddress) != 0) == in)
            return state.funcs->lpOpenPipe(state.device, &e);
    }
    return nullptr;
}

void closePipes() {
    if (state.bulkIn) state.funcs->lpClosePipe(state.bulkIn);
    if (state.bulkOut) state.funcs->lpClosePipe(state.bulkOut);
    state.bulkIn = state.bulkOut = nullptr;
}

BOOL deviceNotify(LPVOID, DWORD code, LPDWORD*, LPDWORD*, LPDWORD*, LPDWORD*) {
    ++state.notifications;
    state.notifyCode = code;
    state.notifyThread = GetCurrentThreadId();
    if (code != USB_CLOSE_DEVICE) return FALSE;
    if (state.notificationEntered) SetEvent(state.notificationEntered);
    if (state.notificationGate) WaitForSingleObject(state.notificationGate, INFINITE);
    if (state.activeDevice) DeactivateDevice(state.activeDevice);
    state.activeDevice = nullptr;
    closePipes();
    return TRUE;
}

DWORD transferDone(LPVOID event) {
    SetEvent(static_cast<HANDLE>(event));
    return 0;
}

}  // namespace

extern "C" TestClientState* TestClient_State() {
    return &state;
}

extern "C" BOOL USBInstallDriver(LPCWSTR szDriverLibFile) {
    const USB_DRIVER_SETTINGS settings = testSettings();
    if (!RegisterClientDriverID(kTestClientId) ||
        !RegisterClientSettings(szDriverLibFile, kTestClientId, nullptr, &settings))
        return FALSE;
    HKEY key = OpenClientRegistryKey(kTestClientId);
    if (key == nullptr) return FALSE;
    const bool written = writeString(key, DEVLOAD_DLLNAME_VALNAME, kLibraryName) &&
                         writeString(key, DEVLOAD_PREFIX_VALNAME, u"XYZ");
    RegCloseKey(key);
    return written ? TRUE : FALSE;
}

extern "C" BOOL USBUnInstallDriver() {
    const USB_DRIVER_SETTINGS settings = testSettings();
    UnRegisterClientSettings(kTestClientId, nullptr, &settings);
    return UnRegisterClientDriverID(kTestClientId);
}

extern "C" BOOL USBDeviceAttach(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs,
                                LPCUSB_INTERFACE lpInterface, LPCWSTR szUniqueDriverId,
                                LPBOOL fAcceptControl, LPCUSB_DRIVER_SETTINGS lpDriverSettings,
                                DWORD) {
    ++state.attachCalls;
    state.device = hDevice;
    state.funcs = lpUsbFuncs;
    state.interfaceGiven = lpInterface;
    state.driverId = szUniqueDriverId;
    state.settings = *lpDriverSettings;
    LPCUSB_INTERFACE setting =
        lpInterface ? lpInterface
                    : lpUsbFuncs->lpFindInterface(lpUsbFuncs->lpGetDeviceInfo(hDevice), 0, 0);
    if (setting == nullptr) return FALSE;
    state.bulkIn = openFirst(setting, USB_ENDPOINT_TYPE_BULK, true);
    if (contains(state.driverId, u"Refuse")) {
        ++state.refusals;
        state.bulkIn = nullptr;  // left for the stack to close
        return FALSE;
    }
    state.bulkOut = openFirst(setting, USB_ENDPOINT_TYPE_BULK, false);
    const std::u16string driverKey =
        std::u16string(u"Drivers\\USB\\ClientDrivers\\") + szUniqueDriverId;
    if (hasPrefix(driverKey)) {
        state.activeDevice = ActivateDevice(driverKey.c_str(), 7);
        if (state.activeDevice == nullptr) return FALSE;
    }
    if (!lpUsbFuncs->lpRegisterNotificationRoutine(hDevice, deviceNotify, &state)) return FALSE;
    *fAcceptControl = TRUE;
    return TRUE;
}

extern "C" DWORD_PTR XYZ_Init(DWORD_PTR, LPCVOID) {
    ++state.inits;
    return reinterpret_cast<DWORD_PTR>(&state);
}

extern "C" BOOL XYZ_Deinit(DWORD_PTR) {
    ++state.deinits;
    return TRUE;
}

extern "C" DWORD_PTR XYZ_Open(DWORD_PTR context, DWORD, DWORD) {
    ++state.opens;
    return context;
}

extern "C" BOOL XYZ_Close(DWORD_PTR) {
    return TRUE;
}

// One bulk IN transfer, completed through the routine on the stack's thread.
extern "C" DWORD XYZ_Read(DWORD_PTR, LPVOID buffer, DWORD count) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    USB_TRANSFER transfer =
        state.funcs->lpIssueBulkTransfer(state.bulkIn, transferDone, done,
                                         USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, count, buffer, 0);
    DWORD bytes = 0;
    DWORD error = USB_NOT_COMPLETE_ERROR;
    if (transfer) {
        WaitForSingleObject(done, INFINITE);
        state.funcs->lpGetTransferStatus(transfer, &bytes, &error);
        state.funcs->lpCloseTransfer(transfer);
    }
    CloseHandle(done);
    return error == USB_NO_ERROR ? bytes : 0xFFFFFFFF;
}

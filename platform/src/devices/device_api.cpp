// ActivateDevice, ActivateDeviceEx, DeactivateDevice and the host control calls.
#include "devices/device_manager.h"
#include "text/text.h"

extern "C" HANDLE WINAPI ActivateDeviceEx(LPCWSTR lpszDevKey, LPCVOID lpRegEnts, DWORD cRegEnts,
                                          LPVOID lpvParam) {
    if (lpszDevKey == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ce::devices::DeviceManager::instance().activate(
        ce::text::wideView(lpszDevKey), static_cast<LPCREGINI>(lpRegEnts), cRegEnts,
        reinterpret_cast<DWORD_PTR>(lpvParam));
}

extern "C" HANDLE WINAPI ActivateDevice(LPCWSTR lpszDevKey, DWORD_PTR dwClientInfo) {
    return ActivateDeviceEx(lpszDevKey, nullptr, 0, reinterpret_cast<LPVOID>(dwClientInfo));
}

extern "C" BOOL WINAPI DeactivateDevice(HANDLE hDevice) {
    return ce::devices::DeviceManager::instance().deactivate(hDevice);
}

void host::devices::registerBuiltInDriver(const std::string& dllName, const StreamDriver& driver) {
    ce::devices::DeviceManager::instance().registerBuiltIn(dllName, driver);
}

void host::devices::setLibraryDirectory(const std::string& directory) {
    ce::devices::DeviceManager::instance().setLibraryDirectory(directory);
}

std::vector<host::devices::ActiveDevice> host::devices::activeDevices() {
    return ce::devices::DeviceManager::instance().list();
}

// Registration of client drivers: the USBD library calls of <usbdi.h>.
#include <usbdi.h>

#include "devices/reg_values.h"
#include "text/text.h"
#include "usb/load_clients.h"

namespace {

using ce::devices::RegKey;

constexpr WCHAR kDllValue[] = u"DLL";

// A driver id names one registry key: not empty, no path separator.
bool validId(LPCWSTR id) {
    const std::u16string_view view = ce::text::wideView(id);
    return !view.empty() && view.find(u'\\') == std::u16string_view::npos;
}

bool validSettings(LPCUSB_DRIVER_SETTINGS settings) {
    return settings != nullptr && settings->dwCount >= sizeof(USB_DRIVER_SETTINGS);
}

std::u16string clientDriverKey(LPCWSTR id) {
    return std::u16string(ce::usb::kClientDriversKey) + u"\\" +
           std::u16string(ce::text::wideView(id));
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool isEmptyKey(const std::u16string& path) {
    const RegKey key = RegKey::open(HKEY_LOCAL_MACHINE, path);
    if (!key) return false;
    WCHAR name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_NO_MORE_ITEMS)
        return false;
    length = 256;
    return RegEnumValueW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_NO_MORE_ITEMS;
}

// Removes the group keys that registration created and that nothing else uses any more.
void pruneEmptyGroups(std::u16string path) {
    const std::size_t root = std::char_traits<char16_t>::length(ce::usb::kLoadClientsKey);
    while (path.size() > root && isEmptyKey(path)) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
        path.resize(path.find_last_of(u'\\'));
    }
}

}  // namespace

extern "C" BOOL RegisterClientDriverID(LPCWSTR szUniqueDriverId) {
    if (!validId(szUniqueDriverId)) return fail(ERROR_INVALID_PARAMETER);
    return RegKey::create(HKEY_LOCAL_MACHINE, clientDriverKey(szUniqueDriverId)) ? TRUE : FALSE;
}

// Registration created the client key empty. Values under it (those a driver's install wrote,
// any a user added) are the driver's configuration, which outlives its registration: only a key
// that still holds nothing else goes.
extern "C" BOOL UnRegisterClientDriverID(LPCWSTR szUniqueDriverId) {
    if (!validId(szUniqueDriverId)) return fail(ERROR_INVALID_PARAMETER);
    const std::u16string path = clientDriverKey(szUniqueDriverId);
    if (!RegKey::open(HKEY_LOCAL_MACHINE, path)) return fail(ERROR_FILE_NOT_FOUND);
    if (!isEmptyKey(path)) return TRUE;
    const LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    return result == ERROR_SUCCESS ? TRUE : fail(static_cast<DWORD>(result));
}

extern "C" BOOL RegisterClientSettings(LPCWSTR lpszDriverLibFile, LPCWSTR lpszUniqueDriverId,
                                       LPCWSTR, LPCUSB_DRIVER_SETTINGS lpDriverSettings) {
    if (ce::text::wideLength(lpszDriverLibFile) == 0 || !validId(lpszUniqueDriverId) ||
        !validSettings(lpDriverSettings))
        return fail(ERROR_INVALID_PARAMETER);
    const auto path = ce::usb::loadClientsPath(*lpDriverSettings);
    if (!path) return fail(ERROR_INVALID_PARAMETER);
    const RegKey key = RegKey::create(
        HKEY_LOCAL_MACHINE, *path + u"\\" + std::u16string(ce::text::wideView(lpszUniqueDriverId)));
    if (!key) return FALSE;
    return key.writeString(kDllValue, ce::text::wideView(lpszDriverLibFile)) ? TRUE : FALSE;
}

extern "C" BOOL UnRegisterClientSettings(LPCWSTR lpszUniqueDriverId, LPCWSTR,
                                         LPCUSB_DRIVER_SETTINGS lpDriverSettings) {
    if (!validId(lpszUniqueDriverId) || !validSettings(lpDriverSettings))
        return fail(ERROR_INVALID_PARAMETER);
    const auto path = ce::usb::loadClientsPath(*lpDriverSettings);
    if (!path) return fail(ERROR_INVALID_PARAMETER);
    const std::u16string driverKey =
        *path + u"\\" + std::u16string(ce::text::wideView(lpszUniqueDriverId));
    const LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, driverKey.c_str());
    if (result != ERROR_SUCCESS) return fail(static_cast<DWORD>(result));
    pruneEmptyGroups(*path);
    return TRUE;
}

extern "C" HKEY OpenClientRegistryKey(LPCWSTR szUniqueDriverId) {
    if (!validId(szUniqueDriverId)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HKEY key = nullptr;
    const LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, clientDriverKey(szUniqueDriverId).c_str(),
                                      0, KEY_ALL_ACCESS, &key);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return nullptr;
    }
    return key;
}

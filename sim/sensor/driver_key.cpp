#include <windows.h>

#include <string>

#include "sensor/sensor_profile.h"

namespace sim {
namespace {

std::u16string wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::u16string result(length > 0 ? static_cast<std::size_t>(length) : 1, u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, result.data(), length);
    result.pop_back();  // the terminator MultiByteToWideChar counted
    return result;
}

struct Overloads {
    HKEY key;
    LPCWSTR name;

    LONG operator()(std::uint32_t value) const {
        return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                              sizeof value);
    }
    LONG operator()(const std::string& value) const {
        const std::u16string data = wide(value);
        return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                              static_cast<DWORD>((data.size() + 1) * sizeof(WCHAR)));
    }
    LONG operator()(const std::vector<std::string>& values) const {
        std::u16string data;
        for (const std::string& value : values) data += wide(value) + u'\0';
        data += u'\0';
        return RegSetValueExW(key, name, 0, REG_MULTI_SZ,
                              reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size() * sizeof(WCHAR)));
    }
};

}  // namespace

bool writeDriverKeyValues(const SensorProfile& profile) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\USB\\ClientDrivers\\Papilla_USB_driver", 0,
                        nullptr, 0, 0, nullptr, &key, &disposition) != ERROR_SUCCESS)
        return false;
    bool written = true;
    for (const RegistryValue& value : profile.driverKeyValues) {
        const std::u16string name = wide(value.name);
        written = std::visit(Overloads{key, name.c_str()}, value.data) == ERROR_SUCCESS;
        if (!written) break;
    }
    RegCloseKey(key);
    return written;
}

}  // namespace sim

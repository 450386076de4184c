#include "devices/reg_values.h"

#include <vector>

namespace ce::devices {

RegKey::~RegKey() {
    if (key_ != nullptr) RegCloseKey(key_);
}

RegKey RegKey::open(HKEY root, std::u16string_view path) {
    const std::u16string terminated(path);
    HKEY key = nullptr;
    const LONG error = RegOpenKeyExW(root, terminated.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (error != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(error));
        return RegKey();
    }
    return RegKey(key);
}

RegKey RegKey::create(HKEY root, std::u16string_view path) {
    const std::u16string terminated(path);
    HKEY key = nullptr;
    const LONG error = RegCreateKeyExW(root, terminated.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                       nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(error));
        return RegKey();
    }
    return RegKey(key);
}

std::optional<std::u16string> RegKey::readString(const WCHAR* name) const {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::nullopt;
    std::vector<BYTE> data(size);
    if (RegQueryValueExW(key_, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    std::u16string text(size / sizeof(WCHAR), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    // The stored data normally carries its terminator; anything after the first NUL is not text.
    if (const auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
    return text;
}

std::optional<DWORD> RegKey::readDword(const WCHAR* name) const {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value))
        return std::nullopt;
    return value;
}

bool RegKey::writeString(const WCHAR* name, std::u16string_view value) const {
    const std::u16string terminated(value);
    const auto bytes = static_cast<DWORD>((terminated.size() + 1) * sizeof(WCHAR));
    return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(terminated.c_str()),
                          bytes) == ERROR_SUCCESS;
}

bool RegKey::writeDword(const WCHAR* name, DWORD value) const {
    return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

}  // namespace ce::devices

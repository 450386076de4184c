#include "peripheral/active_com_ports.h"

#include <windows.h>
#include <winreg.h>

#include <array>
#include <optional>
#include <string_view>

namespace sim {
namespace {

std::optional<unsigned> comNumberOf(std::u16string_view name) {
    if (name.size() < 5 || name.back() != u':') return std::nullopt;
    const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; };
    if (upper(name[0]) != u'C' || upper(name[1]) != u'O' || upper(name[2]) != u'M')
        return std::nullopt;
    unsigned number = 0;
    for (const char16_t c : name.substr(3, name.size() - 4)) {
        if (c < u'0' || c > u'9' || number > 100000) return std::nullopt;
        number = number * 10 + static_cast<unsigned>(c - u'0');
    }
    return number;
}

std::optional<unsigned> comNumberOfEntry(HKEY active, const WCHAR* entryName) {
    HKEY entry = nullptr;
    if (RegOpenKeyExW(active, entryName, 0, KEY_READ, &entry) != ERROR_SUCCESS) return std::nullopt;
    std::array<WCHAR, 64> value{};
    DWORD size = static_cast<DWORD>((value.size() - 1) * sizeof(WCHAR));
    DWORD type = 0;
    const LONG status = RegQueryValueExW(entry, u"Name", nullptr, &type,
                                         reinterpret_cast<BYTE*>(value.data()), &size);
    RegCloseKey(entry);
    if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
    std::u16string_view name(value.data(), size / sizeof(WCHAR));
    if (const auto nul = name.find(u'\0'); nul != name.npos) name = name.substr(0, nul);
    return comNumberOf(name);
}

}  // namespace

std::vector<unsigned> activeComNumbers() {
    std::vector<unsigned> numbers;
    HKEY active = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, &active) !=
        ERROR_SUCCESS)
        return numbers;
    for (DWORD index = 0;; ++index) {
        std::array<WCHAR, 64> entryName{};
        DWORD length = static_cast<DWORD>(entryName.size());
        if (RegEnumKeyExW(active, index, entryName.data(), &length, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            break;
        if (const auto number = comNumberOfEntry(active, entryName.data()))
            numbers.push_back(*number);
    }
    RegCloseKey(active);
    return numbers;
}

}  // namespace sim

#include "serial/com_port_discovery.h"

#include <algorithm>
#include <cstring>

namespace kest {

namespace {

constexpr DWORD kKeyNameChars = 128;
constexpr DWORD kValueBytes = 128;
// Port numbers are below this, so that they fit the mask. An entry numbered this or more (a
// port of some other driver) sets no bit and is never the data port, but the walks go on past
// it: only the end of the list ends them.
constexpr DWORD kPortLimit = 32;
// Digits beyond this cannot make a port number; saturating keeps a long run of digits from
// wrapping round to a small number.
constexpr DWORD kNumberCeiling = 0xFFFFFFFE;

const WCHAR kActiveKey[] = TEXT("Drivers\\Active");

class OpenKey {
  public:
    OpenKey(HKEY parent, const WCHAR* path) {
        if (RegOpenKeyExW(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS) key = nullptr;
    }
    ~OpenKey() {
        if (key != nullptr) RegCloseKey(key);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    HKEY get() const { return key; }

  private:
    HKEY key = nullptr;
};

// Device names are matched without regard to case, as the device manager opens them: "com5:"
// names the same port as "COM5:".
bool hasComPrefix(const WCHAR* value) {
    const auto upper = [](WCHAR c) {
        return c >= TEXT('a') && c <= TEXT('z') ? WCHAR(c - TEXT('a') + TEXT('A')) : c;
    };
    return upper(value[0]) == TEXT('C') && upper(value[1]) == TEXT('O') &&
           upper(value[2]) == TEXT('M');
}

bool isPortNumber(DWORD number) {
    return number != 0 && number < kPortLimit;
}

DWORD parseNumber(const WCHAR* digits) {
    DWORD number = 0;
    for (; *digits >= TEXT('0') && *digits <= TEXT('9'); ++digits) {
        const DWORD digit = static_cast<DWORD>(*digits - TEXT('0'));
        number = number > (kNumberCeiling - digit) / 10 ? kNumberCeiling : number * 10 + digit;
    }
    return number;
}

}  // namespace

DWORD ReadActiveEntry(HKEY key, DWORD index, char* name) {
    WCHAR keyName[kKeyNameChars];
    DWORD keyNameChars = kKeyNameChars;
    const LONG enumerated =
        RegEnumKeyExW(key, index, keyName, &keyNameChars, nullptr, nullptr, nullptr, nullptr);
    if (enumerated == ERROR_NO_MORE_ITEMS) return kNoMoreActiveEntries;
    if (enumerated != ERROR_SUCCESS) return 0;

    OpenKey entry(key, keyName);
    if (entry.get() == nullptr) return 0;

    // One spare character so that a value that fills the buffer without a terminator still
    // reads as a terminated string.
    WCHAR value[kValueBytes / sizeof(WCHAR) + 1] = {};
    DWORD type = REG_NONE;
    DWORD valueBytes = kValueBytes;
    if (RegQueryValueExW(entry.get(), TEXT("NAME"), nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &valueBytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return 0;
    }
    value[std::min(valueBytes, kValueBytes) / sizeof(WCHAR)] = 0;
    if (!hasComPrefix(value)) return 0;
    const DWORD number = parseNumber(value + 3);
    if (number == 0) return 0;

    // A name that does not fit with its terminator is no device name that a port could open:
    // the entry is skipped, in the mask as in the search, rather than cut to the name of some
    // other device.
    char narrow[kComPortNameSize];
    if (WideCharToMultiByte(CP_ACP, 0, value, -1, narrow, kComPortNameSize, nullptr, nullptr) ==
        0) {
        return 0;
    }
    if (name != nullptr) std::memcpy(name, narrow, std::strlen(narrow) + 1);
    return number;
}

DWORD ActiveComPortMask() {
    OpenKey active(HKEY_LOCAL_MACHINE, kActiveKey);
    if (active.get() == nullptr) return 0;
    DWORD mask = 0;
    for (DWORD index = 0;; ++index) {
        const DWORD number = ReadActiveEntry(active.get(), index, nullptr);
        if (number == kNoMoreActiveEntries) break;
        if (isPortNumber(number)) mask |= DWORD{1} << number;
    }
    return mask;
}

bool FindComPortName(DWORD number, char* name) {
    OpenKey active(HKEY_LOCAL_MACHINE, kActiveKey);
    if (active.get() == nullptr) return false;
    for (DWORD index = 0;; ++index) {
        const DWORD found = ReadActiveEntry(active.get(), index, name);
        if (found == number && isPortNumber(number)) break;
        if (found == kNoMoreActiveEntries) {
            name[0] = '\0';
            break;
        }
    }
    return true;
}

}  // namespace kest

// The handheld's AKU version, which decides whether the peripheral's link is kept through a
// system suspend.
#include <cstring>
#include <string>

#include "manager/device_manager.h"

namespace kest {
namespace {

constexpr DWORD kValueBytes = 255;
constexpr int kMaxUnits = 128;

}  // namespace

std::string DeviceManager::readAkuVersion() {
    std::string aku;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SYSTEM\\Versions"), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        reportStatus("Cannot open key.");
        return aku;
    }
    // Read whatever its type. One byte beyond what the query may fill keeps the last of the
    // 128 code units inside the buffer, and always zero.
    BYTE value[kValueBytes + 1] = {};
    DWORD type = REG_NONE;
    DWORD size = kValueBytes;
    RegQueryValueExW(key, TEXT("AKU"), nullptr, &type, value, &size);
    for (int unit = 0; unit < kMaxUnits; ++unit) {
        WCHAR c = 0;
        std::memcpy(&c, value + unit * sizeof(WCHAR), sizeof c);
        if (c == 0) break;
        aku.push_back(static_cast<char>(c & 0xFF));
    }
    reportStatus("AKU: ");
    reportStatus(aku.c_str());
    if (!aku.empty() && aku.front() == '.') {
        reportStatus("In AKU If");
        aku.erase(0, 1);
    }
    reportStatus("Success opening key.");
    RegCloseKey(key);
    return aku;
}

}  // namespace kest

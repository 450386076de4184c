#include "settings.h"

namespace {

// Bulk transfers are cut at multiples of 64 bytes, the bulk packet size of a full-speed sensor.
constexpr DWORD kPacketMultipleMask = 0xFFFFFFC0u;

DWORD Clamp(const SettingEntry& row, DWORD value) {
    if (value < row.minimum)
        value = row.minimum;
    else if (value > row.maximum)
        value = row.maximum;
    if (row.mask != 0) value &= row.mask;
    return value;
}

}  // namespace

void FillSettingsTable(SensorSettings* settings, SettingEntry (&table)[kSettingsTableRows]) {
    table[0] = {TEXT("MaxBulkReadSize"), &settings->maxBulkReadSize, 4096, 64, 8192,
                kPacketMultipleMask};
    table[1] = {TEXT("MaxBulkWriteSize"), &settings->maxBulkWriteSize, 4096, 64, 8192,
                kPacketMultipleMask};
    table[2] = {TEXT("MaxIntReadSize"), &settings->maxIntReadSize, 4096, 1, 8192, 0};
    table[3] = {TEXT("TimeoutPerRequest"), &settings->timeoutPerRequest, 0, 0, 1, 0};
    table[4] = {TEXT("BulkRetryNumber"), &settings->bulkRetryNumber, 0, 0, 16, 0};
    // The pause between the last close after an unplug and the freeing of the context. Nothing
    // of the driver still runs on the context by then; a test rig may shorten the pause to run
    // many plug cycles, never lengthen it.
    table[5] = {TEXT("DetachPause"), &settings->detachPause, 1000, 0, 1000, 0};
    table[6] = {nullptr, nullptr, 0, 0, 0, 0};
}

DWORD ReadSettings(LPCWSTR keyPath, const SettingEntry* table) {
    HKEY key = nullptr;
    const bool opened = RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, 0, 0, &key) == ERROR_SUCCESS;
    DWORD accepted = 0;
    for (const SettingEntry* row = table; row->valueName != nullptr; ++row) {
        DWORD value = 0;
        DWORD type = REG_NONE;
        DWORD size = sizeof value;
        if (opened &&
            RegQueryValueEx(key, row->valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                            &size) == ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof value) {
            *row->destination = Clamp(*row, value);
            ++accepted;
        } else {
            *row->destination = row->defaultValue;
        }
    }
    if (opened) RegCloseKey(key);
    return accepted;
}

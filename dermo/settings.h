// The transfer settings of the client driver key, read each time a sensor attaches.
#pragma once

#include <windows.h>

// The values as they were read (or defaulted), before they are handed to the pipes and the
// device context.
struct SensorSettings {
    DWORD maxBulkReadSize;
    DWORD maxBulkWriteSize;
    DWORD maxIntReadSize;
    DWORD timeoutPerRequest;
    DWORD bulkRetryNumber;
    DWORD detachPause;
};

// One REG_DWORD value: where it goes, its default, its bounds and the mask applied to an
// accepted value (0 for none). A row with a null name ends a table.
struct SettingEntry {
    LPCWSTR valueName;
    DWORD* destination;
    DWORD defaultValue;
    DWORD minimum;
    DWORD maximum;
    DWORD mask;
};

// The driver's settings table, with its destinations in settings; the last row ends it.
constexpr DWORD kSettingsTableRows = 7;
void FillSettingsTable(SensorSettings* settings, SettingEntry (&table)[kSettingsTableRows]);

// Reads every row from the key under HKEY_LOCAL_MACHINE: an accepted value is clamped to its
// bounds and masked, anything else takes the default. Returns how many values were accepted.
DWORD ReadSettings(LPCWSTR keyPath, const SettingEntry* table);

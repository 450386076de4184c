#include "registry_values.h"

namespace {

DWORD WideLength(LPCWSTR text) {
    DWORD length = 0;
    while (text[length] != 0) ++length;
    return length;
}

// Bytes of a value as RegSetValueEx takes them; 0 for a type this driver does not write.
DWORD DataSize(const RegistryValueEntry& row) {
    switch (row.valueType) {
        case REG_SZ:
            return (WideLength(static_cast<LPCWSTR>(row.data)) + 1) * sizeof(WCHAR);
        case REG_DWORD:
            return sizeof(DWORD);
        case REG_MULTI_SZ: {
            LPCWSTR text = static_cast<LPCWSTR>(row.data);
            DWORD characters = 0;
            while (text[characters] != 0) characters += WideLength(text + characters) + 1;
            return (characters + 1) * sizeof(WCHAR);
        }
        default:
            return 0;
    }
}

}  // namespace

BOOL WriteRegistryValues(LPCWSTR keyPath, const RegistryValueEntry* table, BOOL overwrite) {
    HKEY key = nullptr;
    if (!overwrite && RegOpenKeyEx(HKEY_LOCAL_MACHINE, keyPath, 0, 0, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return TRUE;
    }
    DWORD disposition = 0;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, 0, nullptr, &key,
                       &disposition) != ERROR_SUCCESS)
        return FALSE;

    // The handheld guards these writes with structured exception handling, which this host does
    // not have: a row without data is refused up front instead of faulting inside the write.
    BOOL written = TRUE;
    for (const RegistryValueEntry* row = table; row->valueName != nullptr; ++row) {
        if (row->data == nullptr) {
            written = FALSE;
            break;
        }
        const DWORD size = DataSize(*row);
        if (size == 0 ||
            RegSetValueEx(key, row->valueName, 0, row->valueType,
                          static_cast<const BYTE*>(row->data), size) != ERROR_SUCCESS) {
            written = FALSE;
            break;
        }
    }
    RegCloseKey(key);
    return written;
}

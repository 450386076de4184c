// Writing a set of values under one key of HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

// One value to write. A row with a null name ends a table. data points at the value: a
// null-terminated wide string for REG_SZ, a DWORD for REG_DWORD, a list of null-terminated wide
// strings closed by an empty one for REG_MULTI_SZ.
struct RegistryValueEntry {
    LPCWSTR valueName;
    DWORD valueType;
    const void* data;
};

// Creates the key and writes every row. Without overwrite a key that already exists is left as
// it is (TRUE). FALSE when the key cannot be created, a row has another type or no data, or a
// write fails; the rows before it stay written.
BOOL WriteRegistryValues(LPCWSTR keyPath, const RegistryValueEntry* table, BOOL overwrite);

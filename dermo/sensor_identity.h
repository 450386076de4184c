// The sensor models this driver serves.
#pragma once

#include <windows.h>

// Two USB vendor identifiers followed by five product identifiers. The driver registers every
// vendor with every product, vendor-major: ten pairings.
constexpr DWORD kSensorVendorCount = 2;
constexpr DWORD kSensorProductCount = 5;
extern const DWORD SensorIdentityTable[kSensorVendorCount + kSensorProductCount];

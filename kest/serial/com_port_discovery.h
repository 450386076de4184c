// The COM ports that the system lists as active: the sub-keys of
// HKEY_LOCAL_MACHINE\Drivers\Active whose "NAME" is a COM device name such as "COM5:". Port
// numbers 1 to 31 fit a 32-bit mask; 0 is never a port, and an entry numbered 32 or more is
// passed over as no port of ours.
#pragma once

#include <windows.h>

namespace kest {

// ReadActiveEntry's result when there is no entry at the index.
constexpr DWORD kNoMoreActiveEntries = 0xFFFFFFFF;
// The bytes a device name takes at most, terminator included.
constexpr int kComPortNameSize = 16;

// The port number of the entry at index of the open Drivers\Active key; 0 when the entry is no
// COM port or cannot be read, kNoMoreActiveEntries past the last entry. When name is given and
// the entry is a COM port, its device name is copied there (at most kComPortNameSize bytes,
// always terminated).
DWORD ReadActiveEntry(HKEY key, DWORD index, char* name);

// Bit n set for every active COM port n; 0 when Drivers\Active cannot be opened.
DWORD ActiveComPortMask();

// The device name of the active COM port with that number, or an empty name when there is none.
// False only when Drivers\Active cannot be opened.
bool FindComPortName(DWORD number, char* name);

}  // namespace kest

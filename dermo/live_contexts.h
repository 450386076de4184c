// The contexts that exist now. A handle is only ever dereferenced after it was found here: a
// freed context is gone from the table before its memory is released, so a stale or forged
// handle is refused without being read. One process-wide lock covers the two tables and the
// reference counts and nothing else: it is held only for a lookup or a change of a table, never
// across a call into the USB stack, so no call on one sensor waits for another sensor. What must
// not race the detach (an open, the open count, the idle event, the suspension) changes under
// the device context's own stateLock.
#pragma once

#include <windows.h>

#include "context.h"

// Held while a context is looked up, while a table changes and while a reference is taken.
ScopedLock LockContexts();
// At the library's unload: deletes the lock unless a context is still live. A live one means
// the USB stack or the device manager may still call in (the process is exiting), so the lock
// must outlive the unload.
void ReleaseContextsLock();

// All of the following expect the lock to be held.

// Adds a new device context, gives it its client id (never 0, not reused while the driver
// stays loaded) and the table's reference.
void AddLiveDevice(DeviceContext* context);
// Takes the context out of the table; the table's reference is then the caller's to release.
void RemoveLiveDevice(DeviceContext* context);
void AddLiveOpen(OpenContext* open);
void RemoveLiveOpen(OpenContext* open);

// The live device context with this address or client id and a valid signature, or null.
DeviceContext* FindDevice(DWORD_PTR handle);
DeviceContext* FindDeviceByClientId(DWORD clientId);
// The live open context with a valid signature whose device is live, or null.
OpenContext* FindOpen(DWORD_PTR handle);
// One more reference to a live context: it stays in memory, even once it has left the table,
// until that reference is released.
void HoldDevice(DeviceContext* context);

// The following take the lock themselves.

// FindDevice and HoldDevice in one: the live context, held, or null.
DeviceContext* AcquireDevice(DWORD_PTR handle);
// Releases one reference; the last one destroys the record.
void ReleaseDevice(DeviceContext* context);

// FindOpen under the lock, for the entry points of a call on an open handle. The handle stays
// valid after the lock is released: the device manager does not close it while a call on it is
// in progress, and the device context is freed only after the last close.
OpenContext* EnterCall(DWORD_PTR handle);

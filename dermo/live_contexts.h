// The contexts that exist now. A handle is only ever dereferenced after it was found here: a
// freed context is gone from the table before its memory is released, so a stale or forged
// handle is refused without being read. One lock covers the table and every change of a sensor's
// open count, idle event and suspension, so that an open can never race the detach.
#pragma once

#include <windows.h>

#include <mutex>

#include "context.h"

// Held while a context is looked up and while its open count, idle event, detached flag or
// suspension change.
std::unique_lock<std::mutex> LockContexts();

// All of the following expect the lock to be held.

// Adds a new device context and gives it its client id (never 0, not reused while the driver
// stays loaded).
void AddLiveDevice(DeviceContext* context);
void RemoveLiveDevice(DeviceContext* context);
void AddLiveOpen(OpenContext* open);
void RemoveLiveOpen(OpenContext* open);

// The live device context with this address or client id and a valid signature, or null.
DeviceContext* FindDevice(DWORD_PTR handle);
DeviceContext* FindDeviceByClientId(DWORD clientId);
// The live open context with a valid signature whose device is live, or null.
OpenContext* FindOpen(DWORD_PTR handle);

// FindOpen under the lock, for the entry points of a call on an open handle. The handle stays
// valid after the lock is released: the device manager does not close it while a call on it is
// in progress, and the device context is freed only after the last close.
OpenContext* EnterCall(DWORD_PTR handle);

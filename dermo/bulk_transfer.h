// The transfer loop behind DRX_Read and DRX_Write: one call cut into transfers no larger than
// the pipe's maxTransferSize, each waited for with the handle's time-out, failures followed by
// pipe recovery, bounded retries and, after repeated failures, a reset of the sensor.
#pragma once

#include "context.h"

enum class BulkDirection { Read, Write };

// Moves count bytes between buffer and the sensor over the direction's pipe. The entry checks
// (live handle, detached sensor, buffer and count) are the caller's. Returns the bytes moved, or
// 0xFFFFFFFF; sets the last error to 0 or to the error. A call that times out after moving bytes
// returns them and leaves the last error as it was.
DWORD BulkTransfer(OpenContext* open, BulkDirection direction, BYTE* buffer, DWORD count);

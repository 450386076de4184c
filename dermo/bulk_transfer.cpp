#include "bulk_transfer.h"

#include "recovery.h"
#include "transfer.h"

namespace {

constexpr DWORD kReadFlags = USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK;
constexpr DWORD kWriteFlags = USB_OUT_TRANSFER;
constexpr DWORD kSmallestChunk = 64;
// A transfer that timed out with less than this left of the time-out is not worth a recovery:
// the call has all but run out of time, and the sensor did nothing wrong that a reset would mend.
constexpr DWORD kRecoveryMargin = 20;
// Consecutive failed transfers after which the sensor is reset.
constexpr DWORD kFailuresBeforeReset = 3;
// The exception code the handheld reports for a C++ exception that reaches its structured
// handler; this host's transfer loop reports the same for any exception raised inside it.
constexpr DWORD kExceptionCode = 0xE06D7363;

struct Transfers {
    DeviceContext* device;
    PipeState& pipe;
    DWORD flags;
    DWORD timeout;
    DWORD timeoutPerRequest;
};

// The loop itself, with the pipe's lock held; start is the call's start, before the wait for the
// lock. Returns the error; done counts the bytes moved.
DWORD RunTransfers(const Transfers& call, DWORD start, BYTE* buffer, DWORD count, DWORD& done) {
    DeviceContext* device = call.device;
    const USB_FUNCS* usb = &device->usbFuncs;
    DWORD retries = device->bulkRetryNumber;
    DWORD chunk = call.pipe.maxTransferSize;
    DWORD remaining = count;
    DWORD error = ERROR_SUCCESS;
    done = 0;
    while (static_cast<LONG>(remaining) > 0) {
        // The sensor is going away and its teardown waits for this call: no further transfer.
        if (IsDetached(device)) return ERROR_NOT_READY;
        const DWORD elapsed = GetTickCount() - start;
        if (!call.timeoutPerRequest && elapsed >= call.timeout) return ERROR_TIMEOUT;
        const DWORD size = remaining < chunk ? remaining : chunk;
        const DWORD wait = call.timeoutPerRequest ? call.timeout : call.timeout - elapsed;
        DWORD bytes = 0;
        DWORD status = USB_NO_ERROR;
        error = IssueBulkAndWait(device, call.pipe.hPipe, TransferComplete,
                                 call.pipe.completionEvent, call.flags, buffer + done, 0, size,
                                 &bytes, wait, &status);
        // Issued as the teardown began and cancelled: nothing to recover or retry.
        if (error == ERROR_NOT_READY && IsDetached(device)) return error;
        // What the stack reported moved before the timed-out transfer was closed is in the
        // buffer (or gone to the sensor): it counts, and a retry goes on after it.
        if (error == ERROR_TIMEOUT) {
            done += bytes;
            remaining -= bytes;
        }
        if (error == ERROR_SUCCESS && status == USB_NO_ERROR) {
            StoreShared(device->failureCount, DWORD{0});
            if (bytes > 0) {
                done += bytes;
                remaining -= bytes;
                continue;
            }
            // Nothing moved: the sensor may not manage a transfer this large; try a smaller one.
            if (retries == 0) return ERROR_SUCCESS;
            --retries;
            chunk >>= 1;
            if (chunk < kSmallestChunk) chunk = kSmallestChunk;
            continue;
        }

        if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
        if (error == ERROR_TIMEOUT && call.timeout - elapsed < kRecoveryMargin) {
            StoreShared(device->failureCount, DWORD{0});
            return error;
        }
        AddShared(device->failureCount, DWORD{1});
        if (RecoverPipe(usb, device->hDevice, call.pipe.hPipe, TransferComplete,
                        call.pipe.completionEvent, 0, call.timeout) != ERROR_SUCCESS) {
            ResetSensor(device);
            StoreShared(device->failureCount, DWORD{0});
            return error;
        }
        if (retries > 0) {
            --retries;
            continue;
        }
        if (LoadShared(device->failureCount) >= kFailuresBeforeReset) {
            ResetSensor(device);
            StoreShared(device->failureCount, DWORD{0});
        }
        return error;
    }
    return error;
}

}  // namespace

DWORD BulkTransfer(OpenContext* open, BulkDirection direction, BYTE* buffer, DWORD count) {
    DeviceContext* device = open->device;
    const bool read = direction == BulkDirection::Read;
    const Transfers call{device, read ? device->bulkIn : device->bulkOut,
                         read ? kReadFlags : kWriteFlags,
                         LoadShared(read ? open->readTimeout : open->writeTimeout),
                         LoadShared(open->timeoutPerRequest)};
    DWORD done = 0;
    DWORD error = ERROR_SUCCESS;
    const DWORD callerError = GetLastError();
    // Time spent waiting for the pipe's lock counts against the call's deadline.
    const DWORD start = GetTickCount();
    {
        const ScopedLock lock(call.pipe.lock);
        try {
            error = RunTransfers(call, start, buffer, count, done);
        } catch (...) {
            error = kExceptionCode;
        }
    }
    // Bytes moved before a time-out are the caller's, as a serial port's read returns what
    // arrived before its total time-out: a success that leaves the last error as it was.
    if (error == ERROR_TIMEOUT && done > 0) {
        SetLastError(callerError);
        return done;
    }
    SetLastError(error);
    return error == ERROR_SUCCESS ? done : 0xFFFFFFFFu;
}

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

// The pipe's lock for the scope of one call, released however the scope is left.
class PipeLock {
  public:
    explicit PipeLock(PipeState& pipe) : pipe_(pipe) { EnterCriticalSection(&pipe_.lock); }
    ~PipeLock() { LeaveCriticalSection(&pipe_.lock); }
    PipeLock(const PipeLock&) = delete;
    PipeLock& operator=(const PipeLock&) = delete;

  private:
    PipeState& pipe_;
};

struct Transfers {
    DeviceContext* device;
    PipeState& pipe;
    DWORD flags;
    DWORD timeout;
    BOOL timeoutPerRequest;
};

// The loop itself, with the pipe's lock held. Returns the error; done counts the bytes moved.
DWORD RunTransfers(const Transfers& call, BYTE* buffer, DWORD count, DWORD& done) {
    DeviceContext* device = call.device;
    const USB_FUNCS* usb = &device->usbFuncs;
    const DWORD start = GetTickCount();
    DWORD retries = device->bulkRetryNumber;
    DWORD chunk = call.pipe.maxTransferSize;
    DWORD remaining = count;
    DWORD error = ERROR_SUCCESS;
    done = 0;
    while (static_cast<LONG>(remaining) > 0) {
        const DWORD elapsed = GetTickCount() - start;
        if (!call.timeoutPerRequest && elapsed >= call.timeout) return ERROR_TIMEOUT;
        const DWORD size = remaining < chunk ? remaining : chunk;
        const DWORD wait = call.timeoutPerRequest ? call.timeout : call.timeout - elapsed;
        DWORD bytes = 0;
        DWORD status = USB_NO_ERROR;
        error = IssueBulkAndWait(usb, call.pipe.hPipe, TransferComplete, call.pipe.completionEvent,
                                 call.flags, buffer + done, 0, size, &bytes, wait, &status);
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
    {
        const PipeLock lock(call.pipe);
        try {
            error = RunTransfers(call, buffer, count, done);
        } catch (...) {
            error = kExceptionCode;
        }
    }
    SetLastError(error);
    return error == ERROR_SUCCESS ? done : 0xFFFFFFFFu;
}

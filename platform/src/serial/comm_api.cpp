// The comm calls, as the handheld's core library implements them: control codes of the serial
// stream driver, sent with DeviceIoControl.
#include <pegdser.h>

namespace {

BOOL control(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, const_cast<void*>(in), inSize, out, outSize, &returned,
                           nullptr);
}

BOOL invalidParameter() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

}  // namespace

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr) return invalidParameter();
    return control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts,
                   sizeof(COMMTIMEOUTS));
}

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr) return invalidParameter();
    return control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS), nullptr,
                   0);
}

extern "C" BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_DEV_STATUS status{};
    if (!control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status))
        return FALSE;
    if (lpErrors) *lpErrors = status.Errors;
    if (lpStat) *lpStat = status.ComStat;
    return TRUE;
}

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof dwEvtMask, nullptr, 0);
}

extern "C" BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (lpEvtMask == nullptr) return invalidParameter();
    return control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

extern "C" BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return control(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof dwFlags, nullptr, 0);
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    if (lpEvtMask == nullptr || lpOverlapped != nullptr) return invalidParameter();
    return control(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

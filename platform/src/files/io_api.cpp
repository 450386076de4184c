// The file calls that serve files and stream devices alike: CreateFileW sends a device name
// ("COM5:") to the device manager and every other name to the file system.
#include "devices/device_manager.h"
#include "files/file_system.h"
#include "files/io_object.h"
#include "text/text.h"

namespace {

std::shared_ptr<ce::files::IoObject> ioObject(HANDLE handle) {
    auto object = ce::kernel::lookupHandleAs<ce::files::IoObject>(handle);
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

}  // namespace

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::u16string_view name = ce::text::wideView(lpFileName);
    if (ce::devices::isDeviceName(name))
        return ce::devices::DeviceManager::instance().open(name, dwDesiredAccess, dwShareMode);
    return ce::files::openFile(name, dwDesiredAccess, dwCreationDisposition, dwFlagsAndAttributes);
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    DWORD done = 0;
    BOOL ok = FALSE;
    if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else if (auto object = ioObject(hFile)) {
        ok = object->read(lpBuffer, nNumberOfBytesToRead, &done);
    }
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
    return ok;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    DWORD done = 0;
    BOOL ok = FALSE;
    if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else if (auto object = ioObject(hFile)) {
        ok = object->write(lpBuffer, nNumberOfBytesToWrite, &done);
    }
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return ok;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove,
                                       PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    auto object = ioObject(hFile);
    if (!object) return INVALID_SET_FILE_POINTER;
    return object->seek(lDistanceToMove, lpDistanceToMoveHigh, dwMoveMethod);
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
    DWORD returned = 0;
    BOOL ok = FALSE;
    if (lpOverlapped != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else if (auto object = ioObject(hDevice)) {
        ok = object->ioControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                               nOutBufferSize, &returned);
    }
    if (lpBytesReturned) *lpBytesReturned = returned;
    return ok;
}

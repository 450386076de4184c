#include "serial/serial_port.h"

#include <cstdio>
#include <cstring>

namespace kest {

namespace {

// A read waits without limit for its first byte and returns after a pause of 3 ms in the
// incoming bytes; a write of n bytes may take up to 3·n ms.
COMMTIMEOUTS portTimeouts() {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 3;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = SerialPort::kWriteMsPerByte;
    timeouts.WriteTotalTimeoutConstant = 0;
    return timeouts;
}

}  // namespace

SerialPort::SerialPort(const char* name, DWORD rate) : portName{}, baudRate(rate) {
    if (name != nullptr) std::strncpy(portName, name, kNameSize);
    portName[kNameSize - 1] = '\0';
}

SerialPort::~SerialPort() {
    Close();
}

bool SerialPort::Open() {
    if (IsOpen()) return true;

    WCHAR wideName[kNameSize] = {};
    MultiByteToWideChar(CP_ACP, 0, portName, -1, wideName, kNameSize);
    HANDLE opened =
        CreateFileW(wideName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD openError = GetLastError();
    try {
        if (opened == INVALID_HANDLE_VALUE) {
            ReportError("CreateFile invalid handle");
            char line[64];
            std::snprintf(line, sizeof line, "errno=%d", static_cast<int>(openError));
            ReportError(line);
            return false;
        }
        GetCommTimeouts(opened, &savedTimeouts);
        COMMTIMEOUTS timeouts = portTimeouts();
        SetCommTimeouts(opened, &timeouts);
        // Published only now, so that no other thread uses the port before its time-outs are set.
        handle.store(opened);
        return true;
    } catch (...) {
        ReportException("Exception in SerialPort::Open");
        if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
        return false;
    }
}

bool SerialPort::Close() {
    HANDLE closing = handle.exchange(INVALID_HANDLE_VALUE);
    if (closing != INVALID_HANDLE_VALUE) {
        SetCommTimeouts(closing, &savedTimeouts);
        CloseHandle(closing);
    }
    return true;
}

int SerialPort::Read(void* buffer, int count) {
    HANDLE h = handle.load();
    if (h == INVALID_HANDLE_VALUE || count <= 0) return 0;
    DWORD read = 0;
    if (!ReadFile(h, buffer, static_cast<DWORD>(count), &read, nullptr)) return 0;
    return static_cast<int>(read);
}

int SerialPort::Write(const void* buffer, int count) {
    HANDLE h = handle.load();
    if (h == INVALID_HANDLE_VALUE || count < 0) return 0;
    DWORD written = 0;
    if (!WriteFile(h, buffer, static_cast<DWORD>(count), &written, nullptr)) {
        try {
            ReportError("WriteFile failed");
        } catch (...) {
            ReportException("Exception in SerialPort::Write");
        }
        // A failed write may still report bytes that left; the caller sees what the driver said.
    }
    return static_cast<int>(written);
}

DWORD SerialPort::WaitForCommEvent(DWORD mask) {
    HANDLE h = handle.load();
    if (h == INVALID_HANDLE_VALUE) return EV_ERR;
    try {
        DWORD result = 0;
        DWORD errors = 0;
        COMSTAT status{};
        if (ClearCommError(h, &errors, &status)) {
            if (errors != 0) {
                char line[64];
                std::snprintf(line, sizeof line, "ComErrors = 0x%08X",
                              static_cast<unsigned>(errors));
                ReportError(line);
                result |= EV_ERR;
            }
            if (status.cbInQue != 0) result |= EV_RXCHAR;
        }
        // What is already pending is handed back before the port is waited on, so no queued
        // byte waits for a later event.
        if ((result & mask) != 0) return result;

        SetCommMask(h, mask);
        DWORD events = 0;
        if (!WaitCommEvent(h, &events, nullptr)) events |= EV_ERR;
        return events;
    } catch (...) {
        ReportException("Exception in WaitForCommEvent");
        return EV_ERR;
    }
}

int SerialPort::AddErrorHandler(void* target, CallbackFunction function) {
    return errorHandlers.add(target, function);
}

int SerialPort::RemoveErrorHandler(const void* target, CallbackFunction function) {
    return errorHandlers.remove(target, function);
}

void SerialPort::ReportError(const char* line) {
    errorHandlers.invoke(toWord(line));
}

void SerialPort::ReportException(const char* line) noexcept {
    try {
        ReportError(line);
    } catch (...) {
        // The handlers failed twice in a row; the caller gets the failure result alone.
    }
}

}  // namespace kest

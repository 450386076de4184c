#include "serial/serial_port.h"

#include <cstdio>
#include <cstring>
#include <new>

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

// Holds the port's open handle from its construction to the end of its scope; empty when the
// port was closed.
class SerialPort::Use {
  public:
    explicit Use(SerialPort& port) : port_(port) {
        Guard use(port_.useLock);
        open_ = port_.current;
        if (open_ != nullptr) ++open_->holds;
    }
    ~Use() {
        if (open_ != nullptr) port_.Release(open_);
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    explicit operator bool() const { return open_ != nullptr; }
    HANDLE handle() const { return open_->value; }
    // True once Close has run on this open.
    bool closed() const {
        Guard use(port_.useLock);
        return open_->closed;
    }

  private:
    SerialPort& port_;
    OpenHandle* open_;
};

SerialPort::SerialPort(const char* name, DWORD rate) : portName{}, baudRate(rate) {
    if (name != nullptr) std::strncpy(portName, name, kNameSize);
    portName[kNameSize - 1] = '\0';
}

SerialPort::~SerialPort() {
    Close();
}

bool SerialPort::IsOpen() const {
    Guard use(useLock);
    return current != nullptr;
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
        auto* open = new (std::nothrow) OpenHandle{opened, {}, 1, false};
        if (open == nullptr) {
            CloseHandle(opened);
            ReportError("No memory for the open port");
            return false;
        }
        GetCommTimeouts(opened, &open->savedTimeouts);
        COMMTIMEOUTS timeouts = portTimeouts();
        SetCommTimeouts(opened, &timeouts);
        // Published only now, so that no other thread uses the port before its time-outs are set.
        Guard use(useLock);
        current = open;
        return true;
    } catch (...) {
        ReportException("Exception in SerialPort::Open");
        return false;
    }
}

bool SerialPort::Close() {
    OpenHandle* open = nullptr;
    bool callsInFlight = false;
    {
        Guard use(useLock);
        open = current;
        if (open == nullptr) return true;
        current = nullptr;
        open->closed = true;
        callsInFlight = open->holds > 1;
    }
    if (callsInFlight) {
        // A read from now on returns at once and one already blocked is aborted; a wait ends
        // with no event, and one about to begin sees the port closed after setting its mask.
        COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(open->value, &immediate);
        PurgeComm(open->value, PURGE_RXABORT | PURGE_TXABORT);
        SetCommMask(open->value, 0);
    }
    Release(open);
    return true;
}

void SerialPort::Release(OpenHandle* open) {
    {
        Guard use(useLock);
        if (--open->holds != 0) return;
    }
    SetCommTimeouts(open->value, &open->savedTimeouts);
    CloseHandle(open->value);
    delete open;
}

int SerialPort::Read(void* buffer, int count) {
    const Use use(*this);
    if (!use || count <= 0) return 0;
    DWORD read = 0;
    if (!ReadFile(use.handle(), buffer, static_cast<DWORD>(count), &read, nullptr)) return 0;
    return static_cast<int>(read);
}

int SerialPort::Write(const void* buffer, int count) {
    const Use use(*this);
    if (!use || count < 0) return 0;
    DWORD written = 0;
    if (!WriteFile(use.handle(), buffer, static_cast<DWORD>(count), &written, nullptr)) {
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
    const Use use(*this);
    if (!use) return EV_ERR;
    const HANDLE h = use.handle();
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
        // A Close since the hold was taken (a handler may have run) clears the mask only after
        // it marks the port closed: seen here, or the wait below ends at once.
        if (use.closed()) return EV_ERR;
        DWORD events = 0;
        if (!WaitCommEvent(h, &events, nullptr)) events |= EV_ERR;
        // A wait that Close ended reports no event: it is a failed wait all the same.
        return use.closed() ? DWORD{EV_ERR} : events;
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

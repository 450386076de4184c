// One serial device of the handheld, opened through the file interface. Every failure is a
// return value plus a text line to the error handlers; nothing is thrown to the caller.
//
// The line settings (rate, framing, flow control) are the driver's and are never changed: the
// port writes only its time-outs, and puts the driver's own back when it closes.
//
// Threads: one thread may block in WaitForCommEvent or Read while another calls Write or Close
// on the same port. Every call holds the open handle for its length, so that a Close during the
// call cannot free the handle's value for the system to give to the next port opened: Close
// ends the calls in flight (their waits and reads return at once) and the last of them closes
// the handle. The handler list may change while another thread reports through it.
#pragma once

#include <windows.h>

#include "manager/callback_list.h"
#include "manager/critical_section.h"

namespace kest {

class SerialPort {
  public:
    static constexpr int kNameSize = 20;
    // A write of n bytes may take up to n times this many milliseconds.
    static constexpr DWORD kWriteMsPerByte = 3;

    // name is copied up to kNameSize - 1 characters. baudRate is recorded only: the line runs at
    // whatever rate its driver has.
    SerialPort(const char* name, DWORD baudRate);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // True if the port is open afterwards; an open port is left as it is.
    bool Open();
    // Always true; puts the saved time-outs back and closes an open port.
    bool Close();
    // One read of up to count bytes; the bytes read, 0 when closed or on failure.
    int Read(void* buffer, int count);
    // One write of count bytes; the bytes the driver wrote, 0 when closed or on failure.
    int Write(const void* buffer, int count);
    // The comm events that are pending or, when none of them is in mask, the next ones of mask
    // the driver reports. EV_ERR on a closed port or a failed wait.
    DWORD WaitForCommEvent(DWORD mask);

    // Handlers take (target, const char* line).
    int AddErrorHandler(void* target, CallbackFunction function);
    int RemoveErrorHandler(const void* target, CallbackFunction function);
    void ReportError(const char* line);

    const char* PortName() const { return portName; }
    DWORD BaudRate() const { return baudRate; }
    bool IsOpen() const;

  private:
    // One open of the port: the handle, and the calls that hold it besides the port's own hold.
    struct OpenHandle {
        HANDLE value;
        COMMTIMEOUTS savedTimeouts;
        int holds;
        bool closed;  // set by Close; the calls still holding the handle end without waiting
    };

    // A call's hold on the open handle, for its scope (serial_port.cpp).
    class Use;
    // Gives a hold back; the last one puts the driver's time-outs back and closes the handle.
    void Release(OpenHandle* open);

    // The line about an exception that a handler threw; a second exception from the handlers
    // goes no further, so that nothing reaches the caller.
    void ReportException(const char* line) noexcept;

    char portName[kNameSize];
    DWORD baudRate;
    // Guards current and every OpenHandle's holds and closed flag; never held across a call on
    // the port.
    mutable CriticalSection useLock;
    OpenHandle* current = nullptr;
    CallbackList errorHandlers;
};

}  // namespace kest

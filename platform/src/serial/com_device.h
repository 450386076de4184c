// The COM stream driver's state: one ComDevice per active COM device (one line), one ComHandle
// per open handle on it.
//
// All state sits under the device's one lock, and no call holds that lock while it blocks: a
// blocked ReadFile or WaitCommEvent waits in WaiterList::wait, so another thread can write, set
// the mask or close the handle meanwhile. The device manager calls PreClose at once when a handle
// is closed (it wakes the handle's blocked calls, which then fail) and Close only after the last
// call on the handle has returned, so a ComHandle is never freed under a running call.
#pragma once

#include <host/serial.h>
#include <pegdser.h>

#include <memory>
#include <mutex>
#include <vector>

#include "serial/line.h"
#include "serial/waiter_list.h"

namespace ce::serial {

class ComDevice;

class ComHandle {
  public:
    ComHandle(std::shared_ptr<ComDevice> device, std::unique_ptr<LineSession> session,
              DWORD access);

    DWORD read(void* buffer, DWORD count);
    DWORD write(const void* buffer, DWORD count);
    BOOL ioControl(DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                   DWORD* returned);
    void preClose();
    void close();

  private:
    friend class ComDevice;
    // FALSE with the last error set when the handle is closing or the device gone.
    bool usable() const;
    BOOL waitCommEvent(DWORD* events);
    BOOL setMask(DWORD mask);

    const std::shared_ptr<ComDevice> device_;
    const std::unique_ptr<LineSession> session_;
    const DWORD access_;
    // Guarded by the device's lock.
    COMMTIMEOUTS timeouts_{};
    DWORD mask_ = 0;
    DWORD history_ = 0;  // edge events seen since the last wait reported them
    unsigned maskGeneration_ = 0;
    // Raised by PurgeComm's abort flags: a blocked read or write that sees its own change ends.
    unsigned readGeneration_ = 0;
    unsigned writeGeneration_ = 0;
    bool waitPending_ = false;
    bool closing_ = false;
    bool released_ = false;
};

class ComDevice final : public LineListener, public std::enable_shared_from_this<ComDevice> {
  public:
    // The device owns itself until deinit(): its address is the driver's device context.
    static ComDevice* create(std::shared_ptr<Line> line, unsigned comNumber);

    // An open handle; null with the last error set. Only one handle is open at a time.
    ComHandle* open(DWORD access);
    // Wakes every blocked call before the device manager waits for them to return.
    void preDeinit();
    void deinit();

    void lineChanged(DWORD edgeEvents) override;
    // Replaces the port's tap; null for none.
    void setTap(std::shared_ptr<host::serial::PortTap> tap);

  private:
    friend class ComHandle;
    ComDevice(std::shared_ptr<Line> line, unsigned comNumber)
        : line_(std::move(line)), number_(comNumber) {}
    // Adds edge events to the history of every handle whose mask holds them.
    void addEdgesLocked(DWORD edgeEvents);

    const std::shared_ptr<Line> line_;
    const unsigned number_;
    std::shared_ptr<ComDevice> self_;
    std::mutex lock_;
    // Guarded by lock_.
    WaiterList waiters_;
    std::vector<ComHandle*> handles_;
    bool held_ = false;  // a handle is open (not yet pre-closed)
    bool removed_ = false;
    std::shared_ptr<host::serial::PortTap> tap_;
};

}  // namespace ce::serial

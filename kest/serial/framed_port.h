// A serial port that carries frames: it sends them whole, decodes received bytes into frames for
// its frame handlers, and relays every text line of the port to its message handlers.
//
// The device manager builds its power port and its data port from this class. The port owns the
// entries of its lists, but its destructor removes only its own relay entry: the owner removes
// its handlers before it deletes the port.
#pragma once

#include <windows.h>

#include "manager/callback_list.h"
#include "serial/frame.h"
#include "serial/frame_decoder.h"
#include "serial/serial_port.h"

namespace kest {

class FramedPort : public SerialPort {
  public:
    // The power port: "COM1:" at 9600 bit/s.
    FramedPort();
    FramedPort(const char* name, DWORD baudRate);
    ~FramedPort();

    // Handlers take (target, const char* line).
    int AddMessageHandler(void* target, CallbackFunction function);
    int RemoveMessageHandler(const void* target, CallbackFunction function);
    // Handlers take (target, const Frame* frame) and borrow the frame for the call only.
    int AddFrameHandler(void* target, CallbackFunction function);
    int RemoveFrameHandler(const void* target, CallbackFunction function);

    // One write of the whole frame; what Write returns.
    int SendFrame(const Frame& frame);
    // Reads until a read yields nothing, handing every completed frame to the frame handlers
    // (newest first) before the next byte is decoded. An exception from a frame handler is the
    // handler's own and reaches the caller; the frame is freed all the same.
    void ReceiveData();

  private:
    static void RelayError(FramedPort* port, const char* line);

    FrameDecoder decoder;
    CallbackList frameHandlers;
    CallbackList messageHandlers;
};

}  // namespace kest

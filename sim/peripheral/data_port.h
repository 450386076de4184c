// The peripheral's data port for one powered period: a simulated line made a COM device, and a
// thread that reads what the library writes to it and turns the bytes into frames. A fresh port
// (fresh line, fresh frame reader) is made at every power-up, so nothing half-received or unread
// survives a power cycle, as on the real device.
#pragma once

#include <host/serial.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <thread>

#include "peripheral/frame.h"

namespace sim {

class DataPort {
  public:
    // Called on the port's reader thread with every frame received, in order.
    using FrameSink = std::function<void(const Frame&)>;

    // Activates the port as "COMn:"; bitsPerSecond 0 makes the line unpaced. Null, with the
    // platform's last error set, when the line cannot take that number.
    static std::unique_ptr<DataPort> activate(unsigned comNumber, std::uint32_t bitsPerSecond,
                                              FrameSink sink);

    // Removes the COM device (calls blocked on it return failure) and ends the reader thread.
    // Must not be called from within the sink.
    ~DataPort();
    DataPort(const DataPort&) = delete;
    DataPort& operator=(const DataPort&) = delete;

    unsigned number() const { return number_; }

    // The line, for sending towards the library; it stays usable (and goes nowhere) after the
    // port has been removed.
    std::shared_ptr<host::serial::SimulatedLine> line() const { return line_; }

  private:
    DataPort(std::shared_ptr<host::serial::SimulatedLine> line, unsigned number, FrameSink sink);
    void receive(std::stop_token stop);

    const std::shared_ptr<host::serial::SimulatedLine> line_;
    const unsigned number_;
    const FrameSink sink_;
    std::jthread reader_;
};

}  // namespace sim

// The built-in COM stream driver and the driver keys of the COM devices it serves.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "serial/line.h"

namespace ce::serial {

// The "Dll" name under which the COM driver is built into the platform.
inline constexpr char kComDriverDll[] = "hostcom.dll";

// Registers the driver with the device manager (once).
void registerComDriver();

// One line made a COM device: its driver key is written and it is activated with the line as
// its client information. The device stays until deactivate() or destruction.
class ComActivation {
  public:
    // Null, with the last error set, on failure.
    static std::unique_ptr<ComActivation> activate(unsigned comNumber, std::shared_ptr<Line> line);
    ~ComActivation();
    ComActivation(const ComActivation&) = delete;
    ComActivation& operator=(const ComActivation&) = delete;

    unsigned number() const { return number_; }

  private:
    ComActivation(unsigned number, DWORD lineId, HANDLE device)
        : number_(number), lineId_(lineId), device_(device) {}
    const unsigned number_;
    const DWORD lineId_;
    const HANDLE device_;
};

}  // namespace ce::serial

// One active stream device: its driver, its context and the count of driver calls in flight.
#pragma once

#include <host/devices.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ce::devices {

class OpenDevice;

struct Device {
    std::u16string name;       // "COM5:"
    std::u16string driverKey;  // the key ActivateDevice was given
    std::u16string activeKey;  // "Drivers\Active\NN"
    host::devices::StreamDriver driver;
    void* library = nullptr;  // dlopen handle of a library driver, null for a built-in one
    DWORD_PTR context = 0;    // what the driver's Init returned
    DWORD handle = 0;         // the value ActivateDevice returned and "Hnd" holds
    bool ready = false;       // Init has returned; guarded by the device manager's lock

    std::mutex lock;
    std::condition_variable idle;  // notified whenever inFlight drops to zero
    // Guarded by lock.
    bool removed = false;  // DeactivateDevice has begun: no new calls reach the driver
    int inFlight = 0;      // driver calls under way (opens, transfers, pre-closes, closes)
    std::vector<std::weak_ptr<OpenDevice>> opens;
};

}  // namespace ce::devices

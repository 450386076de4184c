// The bus time of the sensor's bulk pipes: a transfer completes once the bytes it moves would
// have crossed the bus at the chosen rate. Unpaced, it completes at once on the caller's thread;
// paced, a thread of the pacer completes it when its time has come.
#pragma once

#include <host/usb.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

enum class BulkRate {
    Unpaced,
    FullSpeed,  // 19 packets of 64 bytes per 1 ms frame: 1 216 000 bytes/s
    HighSpeed,  // 13 packets of 512 bytes per 125 us microframe: 53 248 000 bytes/s
};

// Bytes per second of a paced rate, 0 for Unpaced.
double bytesPerSecond(BulkRate rate);

class BulkPacer {
  public:
    BulkPacer() = default;
    // Stops the thread; transfers not yet completed are left to the stack (unplug or close).
    ~BulkPacer();
    BulkPacer(const BulkPacer&) = delete;
    BulkPacer& operator=(const BulkPacer&) = delete;

    void setRate(BulkRate rate);
    // Forgets the transfers not yet completed (the device is gone).
    void drop();

    // An IN transfer replies with data, an OUT transfer accepts `outBytes`.
    void complete(const host::usb::RequestPtr& request, std::vector<BYTE> data, DWORD outBytes);

  private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Clock::time_point due;
        host::usb::RequestPtr request;
        std::vector<BYTE> data;
        DWORD outBytes;
    };

    static void finish(const Pending& pending);
    void run();

    std::mutex lock_;
    std::condition_variable changed_;
    BulkRate rate_ = BulkRate::Unpaced;  // guarded by lock_
    std::deque<Pending> queue_;          // guarded by lock_, in order of due time
    Clock::time_point busyUntil_{};      // guarded by lock_
    bool stopping_ = false;              // guarded by lock_
    std::thread thread_;                 // started with the first paced transfer
};

}  // namespace sim

// Blocking without holding a lock: a thread that must wait registers its own eventfd with the
// object it waits on, drops the lock and polls that eventfd together with any line descriptor.
// A change made under the lock afterwards signals every registered eventfd, so no wake-up is
// lost between the check and the poll, and closing a handle wakes a thread blocked in poll()
// (close() of a descriptor would not).
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "serial/line.h"

namespace ce::serial {

class WaiterList {
  public:
    // Called with the owner's lock held: wakes every thread blocked in wait().
    void notifyAll();

    // Called with `lock` held; returns with it held again, after a change was signalled, the
    // descriptor became ready (poll's revents are returned), or `until` passed.
    short wait(std::unique_lock<std::mutex>& lock, int descriptor, short events,
               std::optional<TimePoint> until);

  private:
    std::vector<int> waiters_;  // eventfds of the threads blocked now
};

}  // namespace ce::serial

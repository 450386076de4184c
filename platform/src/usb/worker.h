// A thread of the USB stack that runs jobs one after another, in the order they were posted.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace ce::usb {

class Worker {
  public:
    Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker();

    void post(std::function<void()> job);
    // Runs the jobs posted so far, then ends the thread. Not from a job of this worker.
    void stop();

  private:
    void run();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace ce::usb

#include "usb/worker.h"

#include <utility>

namespace ce::usb {

Worker::Worker() : thread_([this] { run(); }) {}

Worker::~Worker() {
    stop();
}

void Worker::post(std::function<void()> job) {
    std::lock_guard guard(lock_);
    jobs_.push_back(std::move(job));
    wake_.notify_one();
}

void Worker::stop() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

void Worker::run() {
    std::unique_lock lock(lock_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

}  // namespace ce::usb

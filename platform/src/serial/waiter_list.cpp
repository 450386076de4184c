#include "serial/waiter_list.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>

namespace ce::serial {
namespace {

// One eventfd per thread, made on the thread's first wait and closed when it ends.
struct ThreadEventFd {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ~ThreadEventFd() {
        if (fd >= 0) ::close(fd);
    }
    ThreadEventFd() = default;
    ThreadEventFd(const ThreadEventFd&) = delete;
    ThreadEventFd& operator=(const ThreadEventFd&) = delete;
};

int threadEventFd() {
    thread_local ThreadEventFd own;
    return own.fd;
}

void drain(int fd) {
    std::uint64_t count;
    while (::read(fd, &count, sizeof count) > 0) {
    }
}

}  // namespace

void WaiterList::notifyAll() {
    const std::uint64_t one = 1;
    for (const int fd : waiters_) {
        // The counter only grows; a full counter is still readable, which is all that matters.
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &one, sizeof one);
    }
}

short WaiterList::wait(std::unique_lock<std::mutex>& lock, int descriptor, short events,
                       std::optional<TimePoint> until) {
    const int own = threadEventFd();
    // Without an eventfd (descriptors exhausted) the wait falls back to looking again soon.
    if (own < 0) {
        const TimePoint soon = Clock::now() + std::chrono::milliseconds(2);
        until = until ? std::min(*until, soon) : soon;
    } else {
        drain(own);
        waiters_.push_back(own);
    }
    lock.unlock();

    pollfd fds[2] = {{own, POLLIN, 0}, {descriptor, events, 0}};
    timespec timeout{};
    timespec* timeoutPointer = nullptr;
    if (until) {
        const auto left = std::max(*until - Clock::now(), Clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        timeoutPointer = &timeout;
    }
    const int ready = ::ppoll(fds, descriptor >= 0 ? 2 : 1, timeoutPointer, nullptr);

    lock.lock();
    if (own >= 0) std::erase(waiters_, own);
    return ready > 0 && descriptor >= 0 ? fds[1].revents : 0;
}

}  // namespace ce::serial

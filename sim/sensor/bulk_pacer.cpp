#include "sensor/bulk_pacer.h"

namespace sim {
namespace {

// A host controller keeps a pipe's schedule while the next transfer is queued in time; a gap
// shorter than this (the issuing thread's own turnaround, a late wake-up of the pacer) does not
// push the schedule back, so that the long-run rate is the bus rate.
constexpr std::chrono::microseconds kScheduleSlack{1000};

}  // namespace

double bytesPerSecond(BulkRate rate) {
    switch (rate) {
        case BulkRate::FullSpeed:
            return 19.0 * 64 * 1000;
        case BulkRate::HighSpeed:
            return 13.0 * 512 * 8000;
        default:
            return 0;
    }
}

BulkPacer::~BulkPacer() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void BulkPacer::setRate(BulkRate rate) {
    std::lock_guard guard(lock_);
    rate_ = rate;
}

void BulkPacer::drop() {
    std::lock_guard guard(lock_);
    queue_.clear();
}

void BulkPacer::finish(const Pending& pending) {
    if (pending.request->isIn())
        pending.request->reply(pending.data);
    else
        pending.request->accept(pending.outBytes);
}

void BulkPacer::complete(const host::usb::RequestPtr& request, std::vector<BYTE> data,
                         DWORD outBytes) {
    std::unique_lock lock(lock_);
    const double rate = bytesPerSecond(rate_);
    Pending pending{{}, request, std::move(data), outBytes};
    if (rate == 0) {
        lock.unlock();
        finish(pending);
        return;
    }
    const Clock::time_point now = Clock::now();
    const Clock::time_point start = std::max(busyUntil_, now - kScheduleSlack);
    const double bytes = request->isIn() ? pending.data.size() : outBytes;
    busyUntil_ = start + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(bytes / rate));
    pending.due = busyUntil_;
    queue_.push_back(std::move(pending));
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    changed_.notify_all();
}

void BulkPacer::run() {
    std::unique_lock lock(lock_);
    while (!stopping_) {
        if (queue_.empty()) {
            changed_.wait(lock);
            continue;
        }
        const Clock::time_point due = queue_.front().due;
        if (Clock::now() < due) {
            changed_.wait_until(lock, due);
            continue;
        }
        Pending pending = std::move(queue_.front());
        queue_.pop_front();
        // The stack takes its own lock in reply(); none of the pacer's is held there.
        lock.unlock();
        finish(pending);
        lock.lock();
    }
}

}  // namespace sim

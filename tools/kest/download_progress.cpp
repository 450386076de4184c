#include "download_progress.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "console.h"
#include "kest.h"

namespace kest_tool {
namespace {

constexpr std::chrono::milliseconds kPollInterval{50};
constexpr std::int64_t kPlainSteps = 10;

}  // namespace

DownloadProgress::DownloadProgress(bool terminal)
    : terminal_(terminal), poller_([this](std::stop_token stop) { poll(std::move(stop)); }) {}

DownloadProgress::~DownloadProgress() {
    poller_.request_stop();
    poller_.join();
    int received = 0;
    int total = 0;
    KEST_GetDownloadInfo(nullptr, &received, &total);
    show(received, total, true);
    Console::instance().endProgress();
}

void DownloadProgress::poll(std::stop_token stop) {
    std::mutex lock;
    std::condition_variable_any stopped;
    std::unique_lock guard(lock);
    for (;;) {
        stopped.wait_for(guard, stop, kPollInterval, [] { return false; });
        if (stop.stop_requested()) return;
        int received = 0;
        int total = 0;
        KEST_GetDownloadInfo(nullptr, &received, &total);
        // The whole file is shown once, after the request has returned: shown from here it
        // would come before or after the request's result line as the threads happen to run.
        if (received < total) show(received, total, false);
    }
}

// Runs on the poller, and at the end on the owner once the poller has ended.
void DownloadProgress::show(std::int64_t received, std::int64_t total, bool last) {
    if (total <= 0 || received == shownReceived_) return;
    const std::int64_t step = received * kPlainSteps / total;
    if (!terminal_ && !last && step == shownStep_) return;
    shownReceived_ = received;
    shownStep_ = step;
    Console::instance().progress(received, total);
}

}  // namespace kest_tool

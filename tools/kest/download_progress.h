// Shows a download while a request that waits for it (KEST_Open, KEST_DownloadFile) runs on the
// calling thread: a thread of its own polls KEST_GetDownloadInfo and puts what changed on the
// console, as a bar on a terminal, otherwise as a line at every tenth of the file; the last
// state, the whole file for a download that ended, is shown once the request has returned.
#pragma once

#include <cstdint>
#include <stop_token>
#include <thread>

namespace kest_tool {

class DownloadProgress {
  public:
    explicit DownloadProgress(bool terminal);
    // Stops polling and shows the last state once more, whole.
    ~DownloadProgress();
    DownloadProgress(const DownloadProgress&) = delete;
    DownloadProgress& operator=(const DownloadProgress&) = delete;

  private:
    void poll(std::stop_token stop);
    void show(std::int64_t received, std::int64_t total, bool last);

    const bool terminal_;
    std::int64_t shownReceived_ = -1;
    std::int64_t shownStep_ = -1;
    std::jthread poller_;  // last: it uses the fields above
};

}  // namespace kest_tool

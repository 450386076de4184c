#include "worker.h"

namespace wine_check {

Worker::Worker(std::function<void()> work)
    : work_(std::move(work)), thread_(CreateThread(nullptr, 0, run, this, 0, nullptr)) {}

DWORD WINAPI Worker::run(LPVOID worker) {
    static_cast<Worker*>(worker)->work_();
    return 0;
}

Worker::~Worker() {
    if (thread_ == nullptr) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
}

bool Worker::waitDone(DWORD timeoutMs) const {
    return thread_ != nullptr && WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace wine_check

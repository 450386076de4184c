#include "pty_peripheral.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "peripheral/profile.h"

namespace pty_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kDataPortDelay = std::chrono::milliseconds(100);

// A new pty: its master, and its slave's path in `slave`; -1 when none could be made.
int openPty(std::string& slave) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return -1;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        ::close(master);
        return -1;
    }
    slave = ptsname(master);
    return master;
}

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

PtyPeripheral::PtyPeripheral(std::filesystem::path folder)
    : folder_(std::move(folder)),
      inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)),
      stopEvent_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    powerMaster_ = openPty(powerPath_);
    if (powerMaster_ < 0 || inotify_ < 0 || stopEvent_ < 0 ||
        ::inotify_add_watch(inotify_, powerPath_.c_str(),
                            IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        powerPath_.clear();
        return;
    }
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

PtyPeripheral::~PtyPeripheral() {
    if (thread_.joinable()) {
        thread_.request_stop();
        const std::uint64_t one = 1;
        if (::write(stopEvent_, &one, sizeof one) == sizeof one) thread_.join();
    }
    closeDataPort();
    closeIfOpen(powerMaster_);
    closeIfOpen(inotify_);
    closeIfOpen(stopEvent_);
}

sim::PeripheralFile PtyPeripheral::file() {
    sim::PeripheralFile file;
    file.nameHeader = {'p', 't', 'y', 'c', 'a', 'l'};
    file.content = sim::generatedContent(300);
    file.blockSize = 100;
    return file;
}

unsigned PtyPeripheral::powerCycles() const {
    std::lock_guard guard(lock_);
    return powerCycles_;
}

std::vector<std::uint8_t> PtyPeripheral::activations() const {
    std::lock_guard guard(lock_);
    return activations_;
}

void PtyPeripheral::run(std::stop_token stop) {
    constexpr Clock::time_point kNone = Clock::time_point::max();
    Clock::time_point dataDue = kNone;
    while (!stop.stop_requested()) {
        int timeout = -1;
        if (dataDue != kNone) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(dataDue - Clock::now());
            timeout = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        }
        const int data = dataMaster_;
        pollfd fds[] = {{stopEvent_, POLLIN, 0}, {inotify_, POLLIN, 0}, {data, POLLIN, 0}};
        ::poll(fds, data >= 0 ? 3 : 2, timeout);
        if (stop.stop_requested()) return;

        if (data >= 0 && (fds[2].revents & POLLIN) != 0) {
            std::uint8_t bytes[256];
            const ssize_t n = ::read(data, bytes, sizeof bytes);
            for (ssize_t i = 0; i < n; ++i)
                if (auto frame = reader_.push(bytes[i]); frame && frame->type == 0 && frame->code())
                    answer(frame->payload);
        }
        alignas(inotify_event) char events[32 * sizeof(inotify_event)];
        for (ssize_t n; (n = ::read(inotify_, events, sizeof events)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if ((event->mask & IN_OPEN) != 0 && openHandles_++ == 0) {
                    powerChanged(true);
                    dataDue = Clock::now() + kDataPortDelay;
                }
                if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0 &&
                    --openHandles_ == 0) {
                    dataDue = kNone;
                    powerChanged(false);
                }
            }
        }
        if (dataDue != kNone && Clock::now() >= dataDue) {
            dataDue = kNone;
            openDataPort();
        }
    }
}

void PtyPeripheral::powerChanged(bool on) {
    if (on) {
        std::lock_guard guard(lock_);
        ++powerCycles_;
    } else {
        closeDataPort();
    }
}

void PtyPeripheral::openDataPort() {
    std::string slave;
    dataMaster_ = openPty(slave);
    if (dataMaster_ < 0) return;
    dataSlave_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode{};
    if (dataSlave_ >= 0 && ::tcgetattr(dataSlave_, &mode) == 0) {
        ::cfmakeraw(&mode);
        ::tcsetattr(dataSlave_, TCSANOW, &mode);
    }
    // Put in place in one step, as a device node appears whole.
    const std::filesystem::path pending = folder_ / ".data";
    std::error_code error;
    std::filesystem::remove(pending, error);
    std::filesystem::create_symlink(slave, pending, error);
    std::filesystem::rename(pending, dataPath(), error);
}

void PtyPeripheral::closeDataPort() {
    std::error_code error;
    std::filesystem::remove(dataPath(), error);
    closeIfOpen(dataSlave_);
    closeIfOpen(dataMaster_);
    reader_ = {};
    blocksToSend_.clear();
}

void PtyPeripheral::answer(const std::vector<std::uint8_t>& message) {
    switch (message[0]) {
        case sim::code::kVersionRequest:
            send(sim::versionResponse(
                {.version = 0x13, .text = {'P', 'T', 'Y', ' ', 'R', 'D', 'R'}}));
            break;
        case sim::code::kFileDownloadRequest: {
            sim::FaultSet none;
            const sim::DownloadPlan plan(file(), none);
            blocksToSend_.assign(plan.frames().rbegin(), plan.frames().rend());
            send(plan.response());
            sendNextBlock();
            break;
        }
        case sim::code::kDataResponse:  // the next block once the one before is taken
            if (message.size() >= 3 && message[2] == sim::kBlockAccepted)
                sendNextBlock();
            else
                blocksToSend_.clear();
            break;
        case sim::code::kActivatePeripheral:
            if (message.size() >= 2) {
                std::lock_guard guard(lock_);
                activations_.push_back(message[1]);
            }
            break;
        default:
            break;
    }
}

void PtyPeripheral::sendNextBlock() {
    if (blocksToSend_.empty()) return;
    send(blocksToSend_.back());
    blocksToSend_.pop_back();
}

void PtyPeripheral::send(const std::vector<std::uint8_t>& payload) {
    const std::vector<std::uint8_t> frame = sim::encodeFrame(0x00, payload);
    for (std::size_t at = 0; at < frame.size() && dataMaster_ >= 0;) {
        const ssize_t n = ::write(dataMaster_, frame.data() + at, frame.size() - at);
        if (n <= 0) return;
        at += static_cast<std::size_t>(n);
    }
}

}  // namespace pty_test

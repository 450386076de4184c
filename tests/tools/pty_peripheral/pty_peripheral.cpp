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

namespace pty_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kDataPortDelay = std::chrono::milliseconds(100);
constexpr std::size_t kBlockBytes = 100;
constexpr std::uint8_t kStart = 0x21;

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

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
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

std::vector<std::uint8_t> PtyPeripheral::content() {
    std::vector<std::uint8_t> stream(16, 0);
    const std::string name = "ptycal";
    std::copy(name.begin(), name.end(), stream.begin());
    for (unsigned i = 0; i < 300; ++i) stream.push_back(static_cast<std::uint8_t>(5 * i + 1));
    return stream;
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
            for (ssize_t i = 0; i < n; ++i) receive(bytes[i]);
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
    frame_.clear();
    transferring_ = false;
}

// Frames are 0x21, a frame type, a payload length and the payload.
void PtyPeripheral::receive(std::uint8_t byte) {
    if (frame_.empty() && byte != kStart) return;
    frame_.push_back(byte);
    if (frame_.size() < 3 || frame_.size() < 3u + frame_[2]) return;
    if (frame_[1] == 0 && frame_.size() > 3) answer({frame_.begin() + 3, frame_.end()});
    frame_.clear();
}

void PtyPeripheral::answer(const std::vector<std::uint8_t>& message) {
    switch (message[0]) {
        case 0x01: {  // VersionRequest: Status, version 1.3, 12 bytes of text, serial number
            std::vector<std::uint8_t> response{0x02, 0x00, 0x13};
            const std::string text = "PTY RDR 1.3";
            response.insert(response.end(), text.begin(), text.end());
            response.resize(15, 0);
            appendBigEndian(response, 12345);
            send(response);
            break;
        }
        case 0x06: {  // FileDownloadRequest: size and checksum, then the first block
            const std::vector<std::uint8_t> stream = content();
            std::uint32_t sum = 0;
            for (const std::uint8_t b : stream) sum += b;
            std::vector<std::uint8_t> response{0x07, 0x00, 0x00};
            appendBigEndian(response, static_cast<std::uint32_t>(stream.size()));
            appendBigEndian(response, sum);
            send(response);
            transferring_ = true;
            sent_ = 0;
            sequence_ = 0;
            sendBlock();
            break;
        }
        case 0x09:  // DataResponse: the next block once the last one is taken
            if (transferring_ && message.size() >= 3 && message[2] == 0)
                sendBlock();
            else
                transferring_ = false;
            break;
        case 0x0B:  // ActivatePeripheral
            if (message.size() >= 2) {
                std::lock_guard guard(lock_);
                activations_.push_back(message[1]);
            }
            break;
        default:
            break;
    }
}

void PtyPeripheral::sendBlock() {
    const std::vector<std::uint8_t> stream = content();
    if (sent_ >= stream.size()) {
        transferring_ = false;
        return;
    }
    const std::size_t count = std::min(kBlockBytes, stream.size() - sent_);
    std::vector<std::uint8_t> block{0x08, sequence_++};
    block.insert(block.end(), stream.begin() + static_cast<std::ptrdiff_t>(sent_),
                 stream.begin() + static_cast<std::ptrdiff_t>(sent_ + count));
    block.push_back(0x00);  // not part of the stream
    sent_ += count;
    send(block);
}

void PtyPeripheral::send(const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame{kStart, 0x00, static_cast<std::uint8_t>(payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    for (std::size_t at = 0; at < frame.size() && dataMaster_ >= 0;) {
        const ssize_t n = ::write(dataMaster_, frame.data() + at, frame.size() - at);
        if (n <= 0) return;
        at += static_cast<std::size_t>(n);
    }
}

}  // namespace pty_test

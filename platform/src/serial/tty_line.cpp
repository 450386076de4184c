#include "serial/tty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "files/file_system.h"

namespace ce::serial {
namespace {

class TtySession final : public LineSession {
  public:
    explicit TtySession(int fd) : fd_(fd) {}
    ~TtySession() override { ::close(fd_); }

    std::size_t read(std::span<std::uint8_t> out) override {
        if (out.empty()) return 0;
        for (;;) {
            const ssize_t n = ::read(fd_, out.data(), out.size());
            if (n > 0) return static_cast<std::size_t>(n);
            if (n < 0 && errno == EINTR) continue;
            // EIO: the far end hung up (a pseudo-terminal's master was closed).
            if (n < 0 && errno != EAGAIN) hungUp_ = true;
            return 0;
        }
    }

    DWORD queued() override {
        int count = 0;
        return ::ioctl(fd_, TIOCINQ, &count) == 0 && count > 0 ? static_cast<DWORD>(count) : 0;
    }

    std::optional<std::size_t> write(std::span<const std::uint8_t> in, std::optional<TimePoint>,
                                     TimePoint& leftBy) override {
        leftBy = Clock::now();
        for (;;) {
            const ssize_t n = ::write(fd_, in.data(), in.size());
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno == EINTR) continue;
            if (errno == EAGAIN) return 0;
            if (errno == EIO) hungUp_ = true;
            SetLastError(errno == EIO ? ERROR_DEVICE_NOT_CONNECTED : files::errorFromErrno(errno));
            return std::nullopt;
        }
    }

    // A tty reports no line errors through this interface.
    DWORD pendingErrors() override { return 0; }
    DWORD takeErrors() override { return 0; }
    bool hungUp() override { return hungUp_; }
    std::optional<TimePoint> arrivalOf(std::size_t) override { return std::nullopt; }
    // After a hang-up poll() reports POLLHUP for good: the descriptor leaves the poll set, or
    // every wait would return at once.
    int pollDescriptor() override { return hungUp_ ? -1 : fd_; }
    void polled(short revents) override {
        if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hungUp_ = true;
    }
    void release() override {}

  private:
    const int fd_;
    bool hungUp_ = false;  // guarded by the COM device's lock, like every session call
};

class TtyLine final : public Line {
  public:
    explicit TtyLine(std::string path) : path_(std::move(path)) {}

    void attach(std::weak_ptr<LineListener>) override {}

    std::unique_ptr<LineSession> open() override {
        const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            SetLastError(files::errorFromErrno(errno));
            return nullptr;
        }
        termios mode{};
        if (::tcgetattr(fd, &mode) != 0) {
            const int error = errno;
            ::close(fd);
            SetLastError(error == ENOTTY ? ERROR_NOT_SUPPORTED : files::errorFromErrno(error));
            return nullptr;
        }
        ::cfmakeraw(&mode);
        mode.c_cc[VMIN] = 0;
        mode.c_cc[VTIME] = 0;
        if (::tcsetattr(fd, TCSANOW, &mode) != 0) {
            const int error = errno;
            ::close(fd);
            SetLastError(files::errorFromErrno(error));
            return nullptr;
        }
        return std::make_unique<TtySession>(fd);
    }

  private:
    const std::string path_;
};

}  // namespace

std::shared_ptr<Line> createTtyLine(const std::string& path) {
    return std::make_shared<TtyLine>(path);
}

}  // namespace ce::serial

#include "pty_serve.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "peripheral/peripheral.h"

namespace kest_tool {
namespace {

namespace fs = std::filesystem;

// How often the relay looks at the data port for bytes and for its coming and going.
constexpr int kRelayTickMs = 2;

int stopPipe[2] = {-1, -1};

void requestStop(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
}

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// A new pty master, with its slave's path in `slave`; -1 when none could be made.
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

// Puts a link in place in one step, as a device node appears whole.
void publish(const fs::path& link, const std::string& target) {
    const fs::path pending = link.parent_path() / ("." + link.filename().string());
    std::error_code error;
    fs::remove(pending, error);
    fs::create_symlink(target, pending, error);
    fs::rename(pending, link, error);
}

HANDLE openCom(unsigned number) {
    const std::string name = "COM" + std::to_string(number) + ":";
    const std::u16string wide(name.begin(), name.end());
    return CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// The data line: a pty relayed to the data port of this process.
class DataLine {
  public:
    DataLine(unsigned comNumber, fs::path link) : link_(std::move(link)) {
        port_ = openCom(comNumber);
        if (port_ == INVALID_HANDLE_VALUE) return;
        COMMTIMEOUTS none{MAXDWORD, 0, 0, 0, 0};  // ReadFile returns what is there
        SetCommTimeouts(port_, &none);
        std::string slave;
        master_.reset(openPty(slave));
        if (master_.get() < 0) return;
        // Held, so that the master reads without a hang-up while nobody else has it open.
        slave_.reset(::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios mode{};
        if (slave_.get() >= 0 && ::tcgetattr(slave_.get(), &mode) == 0) {
            ::cfmakeraw(&mode);
            ::tcsetattr(slave_.get(), TCSANOW, &mode);
        }
        publish(link_, slave);
    }
    ~DataLine() {
        std::error_code error;
        fs::remove(link_, error);
        if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
    }
    DataLine(const DataLine&) = delete;
    DataLine& operator=(const DataLine&) = delete;

    bool usable() const { return port_ != INVALID_HANDLE_VALUE && slave_.get() >= 0; }
    int master() const { return master_.get(); }

    // False once the port has gone.
    bool toPort() {
        std::uint8_t bytes[512];
        const ssize_t n = ::read(master_.get(), bytes, sizeof bytes);
        DWORD written = 0;
        return n <= 0 || WriteFile(port_, bytes, static_cast<DWORD>(n), &written, nullptr);
    }
    bool fromPort() {
        std::uint8_t bytes[512];
        DWORD read = 0;
        if (!ReadFile(port_, bytes, sizeof bytes, &read, nullptr)) return false;
        for (DWORD at = 0; at < read;) {
            const ssize_t n = ::write(master_.get(), bytes + at, read - at);
            if (n <= 0) break;
            at += static_cast<DWORD>(n);
        }
        return true;
    }

  private:
    fs::path link_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    Fd master_;
    Fd slave_;
};

}  // namespace

int servePeripheralOnPtys(sim::Peripheral& peripheral, const fs::path& folder, std::ostream& out) {
    std::error_code error;
    fs::create_directories(folder, error);
    std::string powerSlave;
    const Fd powerMaster(openPty(powerSlave));
    const Fd inotify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (powerMaster.get() < 0 || inotify.get() < 0 || ::pipe2(stopPipe, O_CLOEXEC) != 0 ||
        ::inotify_add_watch(inotify.get(), powerSlave.c_str(),
                            IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        std::cerr << "kest: peripheral serve: cannot make its ptys (" << std::strerror(errno) << ")"
                  << std::endl;
        return 1;
    }
    struct sigaction stop {};
    stop.sa_handler = requestStop;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &stop, nullptr);

    const fs::path powerLink = folder / "power";
    const fs::path dataLink = folder / "data";
    fs::remove(dataLink, error);
    publish(powerLink, powerSlave);
    out << "power: " << powerLink.string() << "\ndata: " << dataLink.string() << std::endl;

    int openHandles = 0;
    HANDLE power = INVALID_HANDLE_VALUE;
    std::unique_ptr<DataLine> data;
    for (;;) {
        pollfd fds[] = {{stopPipe[0], POLLIN, 0},
                        {inotify.get(), POLLIN, 0},
                        {data ? data->master() : -1, POLLIN, 0}};
        ::poll(fds, 3, kRelayTickMs);
        if (fds[0].revents != 0) break;

        alignas(inotify_event) char events[32 * sizeof(inotify_event)];
        for (ssize_t n; (n = ::read(inotify.get(), events, sizeof events)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if ((event->mask & IN_OPEN) != 0) ++openHandles;
                if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0) --openHandles;
            }
        }
        // The power line is "COM1:" of this process, held open while the slave is.
        if (openHandles > 0 && power == INVALID_HANDLE_VALUE) power = openCom(1);
        if (openHandles == 0 && power != INVALID_HANDLE_VALUE) {
            CloseHandle(power);
            power = INVALID_HANDLE_VALUE;
        }

        const unsigned dataPort = peripheral.dataPortNumber();
        bool dataGone = dataPort == 0;
        if (data && !dataGone) {
            dataGone = ((fds[2].revents & POLLIN) != 0 && !data->toPort()) || !data->fromPort();
        }
        if (data && dataGone) data.reset();
        if (!data && dataPort != 0 && power != INVALID_HANDLE_VALUE) {
            data = std::make_unique<DataLine>(dataPort, dataLink);
            if (!data->usable()) data.reset();
        }
    }
    data.reset();
    if (power != INVALID_HANDLE_VALUE) CloseHandle(power);
    fs::remove(powerLink, error);
    return 0;
}

}  // namespace kest_tool

// Host ttys mapped onto COM numbers, listed in Drivers\Active while their path exists, the way
// the handheld lists a USB serial adapter while it is plugged in.
#include <host/serial.h>
#include <sys/stat.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "serial/com_driver.h"
#include "serial/tty_line.h"

namespace ce::serial {
namespace {

constexpr auto kWatchPeriod = std::chrono::milliseconds(200);

struct Mapping {
    std::string path;
    std::unique_ptr<ComActivation> activation;  // null while the path is absent
};

class TtyWatcher {
  public:
    void map(unsigned number, const std::string& path) {
        std::lock_guard guard(lock_);
        mappings_.erase(number);
        Mapping& mapping = mappings_[number];
        mapping.path = path;
        scanOne(number, mapping);
        if (!thread_.joinable())
            thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
    }

    void unmap(unsigned number) {
        std::jthread ending;
        {
            std::lock_guard guard(lock_);
            mappings_.erase(number);
            if (mappings_.empty()) ending = std::move(thread_);
        }
        // ~jthread asks the thread to stop and joins it, without the lock it needs.
    }

    void scan() {
        std::lock_guard guard(lock_);
        for (auto& [number, mapping] : mappings_) scanOne(number, mapping);
    }

  private:
    static void scanOne(unsigned number, Mapping& mapping) {
        struct stat info;
        const bool present = ::stat(mapping.path.c_str(), &info) == 0;
        if (present && !mapping.activation)
            mapping.activation = ComActivation::activate(number, createTtyLine(mapping.path));
        else if (!present && mapping.activation)
            mapping.activation.reset();
    }

    void run(std::stop_token stop) {
        std::unique_lock lock(lock_);
        while (!stop.stop_requested()) {
            wake_.wait_for(lock, stop, kWatchPeriod, [] { return false; });
            if (stop.stop_requested()) break;
            for (auto& [number, mapping] : mappings_) scanOne(number, mapping);
        }
    }

    std::mutex lock_;
    std::condition_variable_any wake_;
    std::map<unsigned, Mapping> mappings_;
    std::jthread thread_;
};

// Built on first use and never destroyed, so a mapping may outlive static destruction.
TtyWatcher& watcher() {
    static auto* instance = new TtyWatcher;
    return *instance;
}

}  // namespace
}  // namespace ce::serial

void host::serial::mapHostTty(unsigned comNumber, const std::string& path) {
    ce::serial::watcher().map(comNumber, path);
}

void host::serial::unmapHostTty(unsigned comNumber) {
    ce::serial::watcher().unmap(comNumber);
}

void host::serial::rescanHostTtys() {
    ce::serial::watcher().scan();
}

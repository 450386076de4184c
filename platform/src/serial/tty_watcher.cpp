// Host ttys mapped onto COM numbers, listed in Drivers\Active while their path exists, the way
// the handheld lists a USB serial adapter while it is plugged in. The folders of the mapped
// paths (and, for a path that is a link, of the tty it leads to) are watched with inotify, so
// a tty that goes is unlisted at once and one that comes back is listed anew, even when both
// happen between two looks. A folder that cannot be watched (it does not exist yet, or inotify
// is not there) is looked at every 200 ms instead.
#include <host/serial.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "serial/com_driver.h"
#include "serial/tty_line.h"

namespace ce::serial {
namespace {

constexpr int kFallbackPeriodMs = 200;
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kGoneEvents = IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF;

struct Mapping {
    std::string path;
    std::string tty;                            // what the path led to when it was listed
    std::unique_ptr<ComActivation> activation;  // null while the path is absent
};

std::string folderOf(const std::string& path) {
    const std::string folder = std::filesystem::path(path).parent_path().string();
    return folder.empty() ? "." : folder;
}

class TtyWatcher {
  public:
    TtyWatcher()
        : inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

    void map(unsigned number, const std::string& path) {
        std::lock_guard guard(lock_);
        mappings_.erase(number);
        Mapping& mapping = mappings_[number];
        mapping.path = path;
        scanAll();
        if (!thread_.joinable())
            thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        else
            wake();
    }

    void unmap(unsigned number) {
        std::jthread ending;
        {
            std::lock_guard guard(lock_);
            mappings_.erase(number);
            updateWatches(wantedFolders());
            if (mappings_.empty())
                ending = std::move(thread_);
            else
                wake();
        }
        // ~jthread asks the thread to stop and joins it, without the lock it needs.
    }

    void scan() {
        std::lock_guard guard(lock_);
        scanAll();
        wake();
    }

  private:
    static void scanOne(unsigned number, Mapping& mapping) {
        struct stat info;
        const bool present = ::stat(mapping.path.c_str(), &info) == 0;
        if (present && !mapping.activation) {
            std::error_code error;
            mapping.tty = std::filesystem::canonical(mapping.path, error).string();
            mapping.activation = ComActivation::activate(number, createTtyLine(mapping.path));
        } else if (!present && mapping.activation) {
            unlist(mapping);
        }
    }

    static void unlist(Mapping& mapping) {
        mapping.activation.reset();
        mapping.tty.clear();
    }

    // Watches first, then the look: what changes after a folder's watch is in place comes as an
    // event, what changed before it the look sees. A path listed by the look may lead to a
    // folder not watched yet, so the two go round until the folders stay the same. True when
    // every folder is watched.
    bool scanAll() {
        for (;;) {
            const std::set<std::string> folders = wantedFolders();
            const bool all = updateWatches(folders);
            for (auto& [number, mapping] : mappings_) scanOne(number, mapping);
            if (wantedFolders() == folders) return all;
        }
    }

    std::set<std::string> wantedFolders() const {
        std::set<std::string> folders;
        for (const auto& [number, mapping] : mappings_) {
            folders.insert(folderOf(mapping.path));
            if (!mapping.tty.empty()) folders.insert(folderOf(mapping.tty));
        }
        return folders;
    }

    // Watches exactly the folders given; true when every one is watched.
    bool updateWatches(const std::set<std::string>& folders) {
        if (inotify_ < 0) return false;
        std::map<std::string, int> wanted;
        for (const std::string& folder : folders) wanted.emplace(folder, -1);
        for (auto& [folder, watch] : watches_)
            if (!wanted.contains(folder)) ::inotify_rm_watch(inotify_, watch);
        bool all = true;
        for (auto& [folder, watch] : wanted) {
            const auto known = watches_.find(folder);
            watch = known != watches_.end()
                        ? known->second
                        : ::inotify_add_watch(inotify_, folder.c_str(), kFolderEvents);
            all = all && watch >= 0;
        }
        std::erase_if(wanted, [](const auto& entry) { return entry.second < 0; });
        watches_ = std::move(wanted);
        return all;
    }

    // Unlists every mapping whose path, or the tty it led to, is named by an event that it went.
    void takeEvents() {
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        for (;;) {
            const ssize_t length = ::read(inotify_, buffer, sizeof buffer);
            if (length <= 0) return;
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const std::string folder = folderWatched(event->wd);
                if ((event->mask & IN_IGNORED) != 0) watches_.erase(folder);
                // The watch would follow the folder to its new name: it is made anew by name.
                if ((event->mask & IN_MOVE_SELF) != 0 && !folder.empty()) {
                    ::inotify_rm_watch(inotify_, event->wd);
                    watches_.erase(folder);
                }
                if ((event->mask & kGoneEvents) == 0 || folder.empty()) continue;
                const std::string name = event->len > 0 ? event->name : "";
                for (auto& [number, mapping] : mappings_)
                    if (named(mapping.path, folder, name) || named(mapping.tty, folder, name))
                        unlist(mapping);
            }
        }
    }

    // A name in the folder, or the folder itself (an event without a name).
    static bool named(const std::string& path, const std::string& folder, const std::string& name) {
        if (path.empty()) return false;
        return name.empty()
                   ? path.starts_with(folder + "/")
                   : folderOf(path) == folder && std::filesystem::path(path).filename() == name;
    }

    std::string folderWatched(int watch) const {
        for (const auto& [folder, known] : watches_)
            if (known == watch) return folder;
        return {};
    }

    void wake() {
        const std::uint64_t one = 1;
        if (::write(wake_, &one, sizeof one) < 0) return;  // the counter is already set
    }

    void run(std::stop_token stop) {
        std::stop_callback wakeOnStop(stop, [this] { wake(); });
        bool allWatched = false;
        {
            std::lock_guard guard(lock_);
            allWatched = scanAll();
        }
        while (!stop.stop_requested()) {
            pollfd fds[] = {{wake_, POLLIN, 0}, {inotify_, POLLIN, 0}};
            ::poll(fds, inotify_ < 0 ? 1 : 2, allWatched ? -1 : kFallbackPeriodMs);
            std::uint64_t count = 0;
            if (::read(wake_, &count, sizeof count) < 0) count = 0;
            if (stop.stop_requested()) break;
            std::lock_guard guard(lock_);
            if (inotify_ >= 0) takeEvents();
            allWatched = scanAll();
        }
    }

    const int inotify_;
    const int wake_;
    std::mutex lock_;
    std::map<unsigned, Mapping> mappings_;
    std::map<std::string, int> watches_;  // folder -> inotify watch
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

// A randomized walk through what can happen around a download: the application's calls at
// random moments (from its own thread and from its handlers), the peripheral's answers and
// misbehaviour, and the system's power events. After every step it checks what the library
// must never let happen to the download directory, and at the end of each walk that the library
// let go of everything it took.
//
//   kest_download_checker --seconds 60       walks seeds 1, 2, 3, ... for a minute
//   kest_download_checker --seed 17          replays one walk
//
// A failure prints its seed; the threads make a replay likely, not certain, to take the same
// road.
#include <CLI/CLI.hpp>
#include <host/files.h>
#include <host/handles.h>
#include <host/power.h>
#include <kest.h>
#include <pm.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "attached_library.h"
#include "fresh_registry.h"
#include "scripted_peripheral.h"
#include "thread_count.h"

namespace kest_check {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::chrono::milliseconds slack{1000};

struct Violation : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Bytes contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What the application's handlers do: now and then a close, from the library's own threads,
// at the moments that end a download.
struct Handlers {
    static inline std::mutex lock;
    static inline std::mt19937_64 random;

    static bool chance(unsigned percent) {
        std::lock_guard guard(lock);
        return random() % 100 < percent;
    }
    // A close as the file is reported, half the time waiting (a while at most) until the
    // manager thread has carried it out.
    static void status(const char* text) {
        if (std::string(text) != "Created file:" || !chance(40)) return;
        KEST_Close();
        if (!chance(50)) return;
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (KEST_GetState() != KEST_STATE_CLOSED && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    static void state(int state) {
        if (state == KEST_STATE_DOWNLOADING && chance(3)) KEST_Close();
    }
};

class Walk {
  public:
    Walk(std::uint64_t seed, const fs::path& root)
        : random_(seed),
          root_(root),
          // Half the walks on a line as slow as the real one, where a transfer takes long
          // enough for a close or a power event to fall into it.
          peripheral_(seed ^ 0x9E3779B97F4A7C15ull, seed % 2 == 0 ? 115200 : 0) {
        std::lock_guard guard(Handlers::lock);
        Handlers::random.seed(seed + 1);
    }

    // Runs the walk and returns what it found wrong, each with what the peripheral did last.
    // A file that breaks a rule is reported and then taken as it is, so that the walk goes on
    // to find what else breaks; a hang or a leak ends the walk.
    std::vector<std::string> run(int steps) {
        try {
            walk(steps);
        } catch (const Violation& violation) {
            report(violation.what());
        }
        return violations_;
    }

  private:
    void walk(int steps) {
        const std::size_t handles = host::liveHandleCount();
        const std::size_t threads = kest_test::threadCount();
        const std::size_t registrations = host::power::registrationCount();
        {
            kest_test::AttachedLibrary library;
            KEST_AddStatusMessageHandler(Handlers::status);
            KEST_AddStateChangeHandler(Handlers::state);
            for (int step = 0; step < steps; ++step) {
                takeStep();
                checkDirectory();
                checkDownloadInfo();
            }
            // Out of a suspend and the cradle first: the close waits for both.
            broadcast(host::power::makeRecord(PBT_RESUME, POWER_STATE_ON));
            broadcast(powerInfo(AC_LINE_OFFLINE));
            timed("KEST_Close", 0, [] { return KEST_Close(); });
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            while (KEST_GetState() != KEST_STATE_CLOSED && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (KEST_GetState() != KEST_STATE_CLOSED) throw Violation("the close never ended");
            checkDirectory();
        }
        // The library's threads leave as the detach ends them; the host takes a moment to reap.
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while ((kest_test::threadCount() > threads || host::liveHandleCount() != handles) &&
               Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (kest_test::threadCount() > threads) throw Violation("threads left behind");
        if (host::liveHandleCount() != handles) throw Violation("handles left behind");
        if (host::power::registrationCount() != registrations) {
            throw Violation("power registration left behind");
        }
    }

    void report(const std::string& what) {
        violations_.push_back(what + " [peripheral: " + peripheral_.journal() + "]");
    }

    unsigned pick(unsigned n) { return static_cast<unsigned>(random_() % n); }

    // Every export returns within its time-out and a second (more under a sanitizer, which
    // slows every thread).
    template <typename Call>
    void timed(const char* name, int waitSeconds, Call call) {
        const auto start = Clock::now();
        call();
        if (Clock::now() - start > std::chrono::seconds(waitSeconds) + slack) {
            throw Violation(std::string(name) + " outlasted its time-out");
        }
    }

    void takeStep() {
        switch (pick(18)) {
            case 0:
            case 1: {
                const int wait = 1;
                const auto version = static_cast<unsigned char>(pick(2));
                const auto download = static_cast<unsigned char>(pick(4) != 0);
                timed("KEST_Open", wait, [&] { return KEST_Open(version, download, wait); });
                waitSeconds_ = wait;
                break;
            }
            case 2:
                timed("KEST_Close", 0, [] { return KEST_Close(); });
                break;
            case 3:
                timed("KEST_DownloadFile", waitSeconds_, [] { return KEST_DownloadFile(); });
                break;
            case 4: {
                const int function = 1 + static_cast<int>(pick(3));
                timed("KEST_Enable", waitSeconds_, [&] { return KEST_Enable(function); });
                break;
            }
            case 5:
                timed("KEST_Disable", 0, [] { return KEST_Disable(); });
                break;
            case 6:
                KEST_SetDownloadReq(static_cast<unsigned char>(pick(2)));
                KEST_SetAutoRecover(static_cast<unsigned char>(pick(2)),
                                    static_cast<unsigned char>(pick(2)));
                break;
            case 7:
                powerEvent();
                break;
            case 8:
            case 9:
                peripheral_.announceUnasked();
                break;
            case 10:
            case 11:
                peripheral_.sendStrayBlock();
                break;
            case 12:
            case 13:
                peripheral_.resumeEarlierTransfer();
                break;
            case 14:
                if (pick(4) == 0) peripheral_.vanishDataPort();
                break;
            default:
                std::this_thread::sleep_for(std::chrono::milliseconds(pick(60)));
                break;
        }
    }

    static void broadcast(const std::vector<std::uint8_t>& record) {
        host::power::broadcast(record.data(), record.size());
    }
    static std::vector<std::uint8_t> powerInfo(BYTE acLine) {
        POWER_BROADCAST_POWER_INFO info{};
        info.bACLineStatus = acLine;
        info.bBatteryFlag = BATTERY_FLAG_HIGH;
        info.bBackupBatteryFlag = BATTERY_FLAG_HIGH;
        return host::power::makePowerInfoRecord(info);
    }

    void powerEvent() {
        switch (pick(4)) {
            case 0:
                broadcast(host::power::makeRecord(PBT_TRANSITION, POWER_STATE_SUSPEND));
                break;
            case 1:
                broadcast(host::power::makeRecord(PBT_RESUME, POWER_STATE_ON));
                break;
            default:
                broadcast(powerInfo(pick(2) == 0 ? AC_LINE_ONLINE : AC_LINE_OFFLINE));
                break;
        }
    }

    // No file outside \QUOX\RUV; every .bin there is an asked transfer, whole; a file never
    // changes or goes once it is there.
    void checkDirectory() {
        const fs::path downloads = root_ / "QUOX" / "RUV";
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (entry.is_directory()) continue;
            if (entry.path().parent_path() != downloads) {
                throw Violation("a file outside the download directory: " + entry.path().string());
            }
            const std::string file = entry.path().filename().string();
            if (entry.path().extension() == ".tmp") continue;
            if (entry.path().extension() != ".bin") throw Violation("a stray file: " + file);
            const Bytes content = contentOf(entry.path());
            const auto seen = files_.find(file);
            if (seen != files_.end()) {
                if (seen->second != content) {
                    report(file + " changed from " + std::to_string(seen->second.size()) + " to " +
                           std::to_string(content.size()) + " bytes");
                    seen->second = content;
                }
                continue;
            }
            const std::string name = entry.path().stem().string();
            if (peripheral_.askedContents(name).count(content) == 0) peripheral_.settle();
            if (peripheral_.askedContents(name).count(content) == 0) {
                const bool sentWhole = peripheral_.sentContents(name).count(content) != 0;
                report(file + " (" + std::to_string(content.size()) + " bytes) is " +
                       (sentWhole ? "a transfer nobody asked for"
                                  : "no transfer the peripheral sent whole"));
            }
            files_.emplace(file, content);
        }
        std::erase_if(files_, [&](const auto& entry) {
            const bool gone = !fs::exists(downloads / entry.first);
            if (gone) report(entry.first + " disappeared");
            return gone;
        });
    }

    // The counts belong to one transfer the peripheral announced.
    void checkDownloadInfo() {
        int received = -1;
        int total = -1;
        const int result = KEST_GetDownloadInfo(nullptr, &received, &total);
        const auto sizes = peripheral_.announcedSizes();
        const bool known = total == 0 || sizes.count(static_cast<std::uint32_t>(total)) != 0;
        if (result > KEST_NOT_DONE || !known || received < 0 || received > total) {
            throw Violation("download info " + std::to_string(result) + " with " +
                            std::to_string(received) + "/" + std::to_string(total));
        }
    }

    std::mt19937_64 random_;
    fs::path root_;
    kest_test::FreshRegistry registry_;
    ScriptedPeripheral peripheral_;
    int waitSeconds_ = 0;
    std::map<std::string, Bytes> files_;
    std::vector<std::string> violations_;
};

fs::path freshRoot() {
    char pattern[] = "/tmp/kest-check-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("no temporary directory");
    host::files::setRoot(pattern);
    return pattern;
}

// One walk; false, with its seed and what broke, when a check failed.
bool walk(std::uint64_t seed, int steps) {
    const fs::path root = freshRoot();
    const std::vector<std::string> violations = Walk(seed, root).run(steps);
    for (const std::string& violation : violations) {
        std::fprintf(stderr, "seed %llu: %s\n", static_cast<unsigned long long>(seed),
                     violation.c_str());
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return violations.empty();
}

}  // namespace
}  // namespace kest_check

int main(int argc, char** argv) {
    CLI::App app{"Randomized checks of the library's download against a scripted peripheral"};
    std::uint64_t seed = 0;
    std::uint64_t firstSeed = 1;
    int seconds = 10;
    int steps = 120;
    app.add_option("--seed", seed, "replay this one seed");
    app.add_option("--first-seed", firstSeed, "walk seeds from this one on");
    app.add_option("--seconds", seconds, "walk new seeds until this long has passed");
    app.add_option("--steps", steps, "steps of each walk");
    int slackMs = 1000;
    app.add_option("--slack-ms", slackMs, "how much longer than its time-out an export may take");
    CLI11_PARSE(app, argc, argv);
    kest_check::slack = std::chrono::milliseconds(slackMs);
    // ThreadSanitizer starts a thread of its own with the process's first new thread; it must
    // not count as one the first walk left behind.
    std::thread([] {}).join();

    if (seed != 0) return kest_check::walk(seed, steps) ? 0 : 1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::uint64_t walks = 0;
    std::uint64_t failures = 0;
    for (std::uint64_t s = firstSeed; std::chrono::steady_clock::now() < end; ++s, ++walks) {
        if (!kest_check::walk(s, steps)) ++failures;
    }
    std::printf("%llu walks of %d steps from seed %llu, %llu failed\n",
                static_cast<unsigned long long>(walks), steps,
                static_cast<unsigned long long>(firstSeed),
                static_cast<unsigned long long>(failures));
    return failures == 0 ? 0 : 1;
}

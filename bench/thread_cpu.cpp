#include "thread_cpu.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace kest_bench {

namespace {

std::vector<pid_t> threadsOtherThanMain() {
    std::vector<pid_t> found;
    const pid_t main = getpid();  // the main thread's id is the process id
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t tid = static_cast<pid_t>(std::stol(entry.path().filename().string()));
        if (tid != main) found.push_back(tid);
    }
    return found;
}

// The library's constructor has run by now: shared libraries are initialised before the program.
const std::vector<pid_t> threadsAtStart = threadsOtherThanMain();

}  // namespace

const std::vector<pid_t>& libraryThreads() {
    return threadsAtStart;
}

std::chrono::nanoseconds cpuTime(const std::vector<pid_t>& threads) {
    std::chrono::nanoseconds total{0};
    for (const pid_t tid : threads) {
        std::ifstream stats("/proc/self/task/" + std::to_string(tid) + "/schedstat");
        long long runNanoseconds = 0;
        if (stats >> runNanoseconds) total += std::chrono::nanoseconds(runNanoseconds);
    }
    return total;
}

double percentOfOneCore(std::chrono::nanoseconds cpu, std::chrono::nanoseconds wall) {
    return wall.count() > 0
               ? 100.0 * static_cast<double>(cpu.count()) / static_cast<double>(wall.count())
               : 0.0;
}

}  // namespace kest_bench

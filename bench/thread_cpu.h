// CPU time of the library's own threads. getrusage cannot reach another thread, so the time is
// read from the kernel's per-task scheduler statistics (/proc/self/task/<tid>/schedstat, the
// nanoseconds each thread has run), which unlike the tick-based utime and stime resolve the few
// milliseconds an idle library spends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <vector>

namespace kest_bench {

// The threads the library started when it was loaded with the program: every thread of the
// process but the main one as the program's static initialisation finds them, before main runs
// and so before anything else (the simulated peripheral) starts a thread.
const std::vector<pid_t>& libraryThreads();

// The CPU time these threads have used so far; a thread that has ended counts nothing.
std::chrono::nanoseconds cpuTime(const std::vector<pid_t>& threads);

// CPU time as a percentage of one core over the wall-clock time.
double percentOfOneCore(std::chrono::nanoseconds cpu, std::chrono::nanoseconds wall);

}  // namespace kest_bench

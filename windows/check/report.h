// The check program's output: one line per check, PASS or FAIL with the reason, and a closing
// count. Safe to use from any thread, the watchdog's included.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace wine_check {

// A check returns an empty text when it passed, else why it failed.
using Check = std::function<std::string()>;

class Report {
  public:
    Report();
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // Names checks that are still to come, so that a watchdog that ends the process can report
    // them as not run.
    void announce(const std::vector<std::string>& names);
    void run(const char* name, const Check& check);
    // Every announced check that has not begun.
    void failNotRun(const std::string& why);
    void pass(const char* name);
    void fail(const char* name, const std::string& why);
    // A line of measurements that belongs to no verdict.
    void note(const std::string& text);
    // Prints "N passed, N failed" and returns the process exit code: 0 only if none failed.
    int summary();

  private:
    void print(const std::string& line);

    CRITICAL_SECTION lock_;
    int passed_ = 0;
    int failed_ = 0;
    std::vector<std::string> notRun_;
};

}  // namespace wine_check

#include "report.h"

#include <algorithm>
#include <cstdio>

namespace wine_check {

Report::Report() {
    InitializeCriticalSection(&lock_);
}

Report::~Report() {
    DeleteCriticalSection(&lock_);
}

void Report::announce(const std::vector<std::string>& names) {
    EnterCriticalSection(&lock_);
    notRun_.insert(notRun_.end(), names.begin(), names.end());
    LeaveCriticalSection(&lock_);
}

void Report::run(const char* name, const Check& check) {
    EnterCriticalSection(&lock_);
    std::erase(notRun_, name);
    LeaveCriticalSection(&lock_);
    const std::string why = check();
    if (why.empty()) {
        pass(name);
    } else {
        fail(name, why);
    }
}

void Report::failNotRun(const std::string& why) {
    EnterCriticalSection(&lock_);
    const std::vector<std::string> names = std::move(notRun_);
    notRun_.clear();
    LeaveCriticalSection(&lock_);
    for (const std::string& name : names) fail(name.c_str(), why);
}

void Report::pass(const char* name) {
    EnterCriticalSection(&lock_);
    ++passed_;
    print(std::string("PASS ") + name);
    LeaveCriticalSection(&lock_);
}

void Report::fail(const char* name, const std::string& why) {
    EnterCriticalSection(&lock_);
    ++failed_;
    print(std::string("FAIL ") + name + ": " + why);
    LeaveCriticalSection(&lock_);
}

void Report::note(const std::string& text) {
    EnterCriticalSection(&lock_);
    print("note: " + text);
    LeaveCriticalSection(&lock_);
}

int Report::summary() {
    EnterCriticalSection(&lock_);
    print(std::to_string(passed_) + " passed, " + std::to_string(failed_) + " failed");
    const int code = failed_ == 0 ? 0 : 1;
    LeaveCriticalSection(&lock_);
    return code;
}

// Flushed line by line: the watchdog may end the process right after a line.
void Report::print(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace wine_check

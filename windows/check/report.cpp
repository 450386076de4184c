#include "report.h"

#include <cstdio>

namespace wine_check {

Report::Report() {
    InitializeCriticalSection(&lock_);
}

Report::~Report() {
    DeleteCriticalSection(&lock_);
}

void Report::run(const char* name, const Check& check) {
    const std::string why = check();
    if (why.empty()) {
        pass(name);
    } else {
        fail(name, why);
    }
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

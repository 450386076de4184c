// Work on a thread of its own, for calls that block while the check goes on.
#pragma once

#include <windows.h>

#include <functional>

namespace wine_check {

class Worker {
  public:
    explicit Worker(std::function<void()> work);
    // Waits for the work to end: every blocking call given to a worker has a time-out.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // True once the work has ended, waiting up to timeoutMs; false also if no thread could be
    // started for it.
    bool waitDone(DWORD timeoutMs) const;

  private:
    // The thread routine (WINAPI: a lambda would be __cdecl on 32-bit x86).
    static DWORD WINAPI run(LPVOID worker);

    std::function<void()> work_;
    HANDLE thread_;
};

}  // namespace wine_check

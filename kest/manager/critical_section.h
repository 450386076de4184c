// A critical section owned by an object, and a guard that holds one for a scope. The library's
// few locks are these, as on the handheld: no thread library of its own comes with it.
#pragma once

#include <windows.h>

namespace kest {

class CriticalSection {
  public:
    CriticalSection() { InitializeCriticalSection(&section_); }
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void enter() { EnterCriticalSection(&section_); }
    void leave() { LeaveCriticalSection(&section_); }

  private:
    CRITICAL_SECTION section_;
};

// Holds the section from its construction until unlock or the end of its scope.
class Guard {
  public:
    explicit Guard(CriticalSection& section) : section_(&section) { section.enter(); }
    ~Guard() { unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    void unlock() {
        if (section_ == nullptr) return;
        section_->leave();
        section_ = nullptr;
    }

  private:
    CriticalSection* section_;
};

}  // namespace kest

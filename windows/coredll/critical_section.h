// A critical section owned by an object, and a guard that holds it for a scope.
#pragma once

#include <windows.h>

namespace coredll {

class CriticalSection {
  public:
    CriticalSection() { InitializeCriticalSection(&section_); }
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // For SleepConditionVariableCS, which leaves and retakes it.
    CRITICAL_SECTION* get() { return &section_; }

  private:
    CRITICAL_SECTION section_;
};

class Guard {
  public:
    explicit Guard(CriticalSection& section) : section_(section) {
        EnterCriticalSection(section_.get());
    }
    ~Guard() { LeaveCriticalSection(section_.get()); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    CriticalSection& section_;
};

}  // namespace coredll

// Lists of (target, function) pairs that are all called with the same argument: the library's
// status texts and state changes, and each port's text lines and received frames, travel
// through them.
//
// Entries are called newest first and removed by matching target and function. A list may be
// changed while another thread walks it: a walk goes over the entries that were in the list when
// it began, and a removed entry is freed only once no walk can still reach it. No lock is held
// while an entry's function runs, so a function may report through the same list or change it.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "manager/critical_section.h"

namespace kest {

// Every entry calls its function through this one type; the argument is one machine word (a
// text pointer, a state number or a frame pointer). Typed functions are connected through
// `callback<F>`, which converts the word back, so nothing is ever called through a cast to an
// incompatible function type.
using CallbackFunction = void (*)(void* target, std::uintptr_t argument);

class CallbackEntry {
  public:
    CallbackEntry(std::shared_ptr<const CallbackEntry> next, void* target, CallbackFunction fn)
        : next_(std::move(next)), target_(target), function_(fn) {}
    virtual ~CallbackEntry() = default;

    virtual void invoke(std::uintptr_t argument) const;
    virtual bool isTarget(const void* target) const;
    virtual bool matches(const void* target, CallbackFunction fn) const;

    const std::shared_ptr<const CallbackEntry>& next() const { return next_; }
    void* target() const { return target_; }
    CallbackFunction function() const { return function_; }

  private:
    std::shared_ptr<const CallbackEntry> next_;
    void* target_;
    CallbackFunction function_;
};

class CallbackList {
  public:
    // Links a new entry in front of the first one; never checks for duplicates. Always 0 (a
    // failed allocation leaves the list as it was and is not reported).
    int add(void* target, CallbackFunction function);
    // Unlinks the first entry that matches: 0 if one was removed, 1 if none matched.
    int remove(const void* target, CallbackFunction function);
    void invoke(std::uintptr_t argument) const;

    bool empty() const;

  private:
    // Guards head_ only. The entries themselves never change once linked: a removal relinks
    // copies of the entries in front of the removed one.
    mutable CriticalSection lock_;
    std::shared_ptr<const CallbackEntry> head_;
};

namespace detail {

template <class T>
T fromWord(std::uintptr_t word) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(word);
    } else {
        return static_cast<T>(word);
    }
}

template <auto F>
struct CallbackAdapter;

template <class Target, class Argument, void (*F)(Target*, Argument)>
struct CallbackAdapter<F> {
    static void call(void* target, std::uintptr_t argument) {
        F(static_cast<Target*>(target), fromWord<Argument>(argument));
    }
};

}  // namespace detail

// The CallbackFunction that calls F(Target*, Argument); the same F always gives the same
// function, so add and remove find each other.
template <auto F>
constexpr CallbackFunction callback = &detail::CallbackAdapter<F>::call;

template <class T>
std::uintptr_t toWord(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<std::uintptr_t>(value);
    } else {
        return static_cast<std::uintptr_t>(value);
    }
}

}  // namespace kest

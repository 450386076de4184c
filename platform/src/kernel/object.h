// Kernel objects and the handle table.
//
// Every handle the platform hands out (events, threads, message queues, files, open devices,
// registry keys) names one reference-counted Object in a single process-wide table. CloseHandle
// removes the table's reference and calls Object::onHandleClosed; a call in flight keeps its own
// reference, so an object is freed only when the last call on it has returned.
//
// Waitable objects keep their signalled state under one process-wide lock, waitLock(). A wait on
// several objects therefore sees one consistent picture, and a waiter sleeps on its own condition
// variable until an object it waits on changes: there is no polling.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace ce::kernel {

class Object {
public:
    virtual ~Object() = default;

    // Called once, when the handle that names this object is closed. Objects that block callers
    // (devices, queues) wake them here.
    virtual void onHandleClosed() {}

    // The object as a Waitable, or null; cheaper than a dynamic cast on every wait.
    virtual class Waitable* asWaitable() { return nullptr; }
};

// The lock that guards the state of every Waitable and the waiter lists.
std::mutex& waitLock();

class Waitable;

// One thread blocked in a wait. It sleeps on its own condition variable so that signalling one
// object wakes only the threads that wait on it.
struct Waiter {
    std::condition_variable wake;
    bool notified = false;
    // Set when an object hands its signal straight to this waiter (PulseEvent), which then
    // returns for that object without looking at its state again.
    Waitable* grantedBy = nullptr;
};

class Waitable : public Object {
public:
    Waitable* asWaitable() final { return this; }

    // All three are called with waitLock() held.
    virtual bool isSignalledLocked() const = 0;
    // A wait is satisfied by this object: auto-reset objects consume their signal here.
    virtual void acquireLocked() {}

    // Wakes the threads waiting on this object so they look at its state again.
    void notifyWaitersLocked();
    // Hands the signal straight to the waiters present now: to all of them, or to the first one
    // only. Used by PulseEvent, whose signal never becomes visible as a state.
    void grantToWaitersLocked(bool all);
    std::size_t waiterCountLocked() const { return waiters_.size(); }
    // For objects whose calls block on more than the signalled state (a message queue's read
    // also ends when the last writer goes): sleeps, counted as a waiter, until the next
    // notifyWaitersLocked or the time-out (milliseconds, INFINITE for none); false on time-out.
    // guard holds waitLock().
    bool waitForNotificationLocked(std::unique_lock<std::mutex>& guard, DWORD timeoutMs);

private:
    friend DWORD waitForAny(const std::vector<std::shared_ptr<Waitable>>&, DWORD);
    std::vector<Waiter*> waiters_;
};

// Waits until one of the objects is signalled or the time-out (milliseconds, INFINITE for none)
// passes. Returns WAIT_OBJECT_0 + index of the first signalled object, or WAIT_TIMEOUT.
DWORD waitForAny(const std::vector<std::shared_ptr<Waitable>>& objects, DWORD timeoutMs);

// Handle table.
HANDLE insertHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> lookupHandle(HANDLE handle);
// Removes the handle and calls onHandleClosed; false if the handle names nothing.
bool closeHandle(HANDLE handle);
std::size_t liveHandleCount();

// Resolves every handle to its waitable object under one lock; false if one names none.
bool lookupWaitables(const HANDLE* handles, std::size_t count,
                     std::vector<std::shared_ptr<Waitable>>& out);

// Sleep(INFINITE). A thread made with CreateThread leaves its routine here, as by ExitThread with
// TerminateThread's code, once TerminateThread is called for it; any other sleeps for good.
[[noreturn]] void sleepForEver();

template <class T>
std::shared_ptr<T> lookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(lookupHandle(handle));
}

}  // namespace ce::kernel

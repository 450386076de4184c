#include <host/handles.h>

#include <algorithm>
#include <chrono>

#include "kernel/object.h"

namespace ce::kernel {

std::mutex& waitLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

void Waitable::notifyWaitersLocked() {
    for (Waiter* waiter : waiters_) {
        waiter->notified = true;
        waiter->wake.notify_one();
    }
}

void Waitable::grantToWaitersLocked(bool all) {
    for (Waiter* waiter : waiters_) {
        if (waiter->grantedBy != nullptr) continue;
        waiter->grantedBy = this;
        waiter->notified = true;
        waiter->wake.notify_one();
        if (!all) return;
    }
}

bool Waitable::waitForNotificationLocked(std::unique_lock<std::mutex>& guard, DWORD timeoutMs) {
    if (timeoutMs == 0) return false;
    Waiter waiter;
    waiters_.push_back(&waiter);
    bool notified = true;
    if (timeoutMs == INFINITE)
        waiter.wake.wait(guard, [&] { return waiter.notified; });
    else
        notified = waiter.wake.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                        [&] { return waiter.notified; });
    waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &waiter));
    return notified;
}

DWORD waitForAny(const std::vector<std::shared_ptr<Waitable>>& objects, DWORD timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock guard(waitLock());
    Waiter waiter;
    for (;;) {
        for (std::size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->isSignalledLocked()) {
                objects[i]->acquireLocked();
                return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            }
        }
        if (timeoutMs == 0) return WAIT_TIMEOUT;

        for (const auto& object : objects) object->waiters_.push_back(&waiter);
        waiter.notified = false;
        bool timedOut = false;
        if (timeoutMs == INFINITE) {
            waiter.wake.wait(guard, [&] { return waiter.notified; });
        } else {
            timedOut = !waiter.wake.wait_until(guard, deadline, [&] { return waiter.notified; });
        }
        for (const auto& object : objects) {
            auto& list = object->waiters_;
            list.erase(std::find(list.begin(), list.end(), &waiter));
        }
        if (waiter.grantedBy != nullptr) {
            const auto it = std::find_if(objects.begin(), objects.end(),
                                         [&](const auto& o) { return o.get() == waiter.grantedBy; });
            return WAIT_OBJECT_0 + static_cast<DWORD>(it - objects.begin());
        }
        if (timedOut) return WAIT_TIMEOUT;
    }
}

}  // namespace ce::kernel

namespace {

// Resolves the handles to waitable objects; false (with the last error set) if one is not.
bool collectWaitables(DWORD count, const HANDLE* handles,
                      std::vector<std::shared_ptr<ce::kernel::Waitable>>& out) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    out.reserve(count);
    if (!ce::kernel::lookupWaitables(handles, count, out)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

}  // namespace

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles,
                                               BOOL fWaitAll, DWORD dwMilliseconds) {
    // The handheld supports only waiting for any one of the objects.
    if (fWaitAll) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<ce::kernel::Waitable>> objects;
    if (!collectWaitables(nCount, lpHandles, objects)) return WAIT_FAILED;
    return ce::kernel::waitForAny(objects, dwMilliseconds);
}

std::size_t host::waiterCount(void* handle) {
    auto object = ce::kernel::lookupHandleAs<ce::kernel::Waitable>(handle);
    if (!object) return 0;
    std::lock_guard guard(ce::kernel::waitLock());
    return object->waiterCountLocked();
}

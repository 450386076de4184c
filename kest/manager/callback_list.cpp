#include "manager/callback_list.h"

#include <new>
#include <utility>
#include <vector>

namespace kest {

void CallbackEntry::invoke(std::uintptr_t argument) const {
    function_(target_, argument);
}

bool CallbackEntry::isTarget(const void* target) const {
    return target_ == target;
}

bool CallbackEntry::matches(const void* target, CallbackFunction fn) const {
    return target_ == target && function_ == fn;
}

int CallbackList::add(void* target, CallbackFunction function) {
    try {
        Guard guard(lock_);
        head_ = std::make_shared<const CallbackEntry>(head_, target, function);
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

int CallbackList::remove(const void* target, CallbackFunction function) {
    std::shared_ptr<const CallbackEntry> removed;  // freed after the lock is released
    Guard guard(lock_);
    std::vector<const CallbackEntry*> before;
    const CallbackEntry* entry = head_.get();
    while (entry != nullptr && !entry->matches(target, function)) {
        before.push_back(entry);
        entry = entry->next().get();
    }
    if (entry == nullptr) return 1;

    // Walks in progress keep the old chain alive; the new chain shares everything behind the
    // removed entry and copies what stands in front of it.
    try {
        std::shared_ptr<const CallbackEntry> chain = entry->next();
        for (auto it = before.rbegin(); it != before.rend(); ++it) {
            chain =
                std::make_shared<const CallbackEntry>(chain, (*it)->target(), (*it)->function());
        }
        removed = std::exchange(head_, std::move(chain));
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

void CallbackList::invoke(std::uintptr_t argument) const {
    std::shared_ptr<const CallbackEntry> first;
    {
        Guard guard(lock_);
        first = head_;
    }
    for (const CallbackEntry* entry = first.get(); entry != nullptr; entry = entry->next().get()) {
        entry->invoke(argument);
    }
}

bool CallbackList::empty() const {
    Guard guard(lock_);
    return head_ == nullptr;
}

}  // namespace kest

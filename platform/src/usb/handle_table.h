// The stack's handles (USB_HANDLE, USB_PIPE, USB_TRANSFER): numbers that name live objects, so
// that a stale or foreign handle is refused with ERROR_INVALID_HANDLE instead of being followed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace ce::usb {

template <class T>
class HandleTable {
  public:
    // The low bits of every handle carry the tag, so handles of different tables never collide.
    explicit HandleTable(std::uintptr_t tag) : tag_(tag) {}

    std::uintptr_t insert(std::shared_ptr<T> object) {
        std::lock_guard guard(lock_);
        const std::uintptr_t handle = (next_++ << 4) | tag_;
        items_.emplace(handle, std::move(object));
        return handle;
    }

    std::shared_ptr<T> find(const void* handle) const {
        std::lock_guard guard(lock_);
        const auto it = items_.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == items_.end() ? nullptr : it->second;
    }

    // Removes the handle and hands back its object; null if it named nothing.
    std::shared_ptr<T> erase(const void* handle) {
        std::lock_guard guard(lock_);
        const auto it = items_.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == items_.end()) return nullptr;
        std::shared_ptr<T> object = std::move(it->second);
        items_.erase(it);
        return object;
    }

    std::size_t size() const {
        std::lock_guard guard(lock_);
        return items_.size();
    }

  private:
    mutable std::mutex lock_;
    std::unordered_map<std::uintptr_t, std::shared_ptr<T>> items_;
    std::uintptr_t next_ = 1;
    const std::uintptr_t tag_;
};

}  // namespace ce::usb

#include <host/handles.h>

#include <unordered_map>
#include <vector>

#include "kernel/object.h"

namespace ce::kernel {
namespace {

// Handle values are multiples of four from a base well away from null and INVALID_HANDLE_VALUE.
// As on the handheld and on Windows, a closed handle's value is handed out again, the most
// recently freed first: a stale handle may name somebody else's object.
constexpr std::uintptr_t kFirstHandle = 0x1000;
constexpr std::uintptr_t kHandleStep = 4;

struct HandleTable {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> objects;
    std::vector<std::uintptr_t> freed;  // the next value to reuse last
    std::uintptr_t next = kFirstHandle;
};

// Built on first use and never destroyed, so that libraries detaching at process exit still
// find it.
HandleTable& table() {
    static auto* instance = new HandleTable;
    return *instance;
}

}  // namespace

HANDLE insertHandle(std::shared_ptr<Object> object) {
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    std::uintptr_t value = t.next;
    if (t.freed.empty()) {
        t.next += kHandleStep;
    } else {
        value = t.freed.back();
        t.freed.pop_back();
    }
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> lookupHandle(HANDLE handle) {
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    const auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : it->second;
}

bool lookupWaitables(const HANDLE* handles, std::size_t count,
                     std::vector<std::shared_ptr<Waitable>>& out) {
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    for (std::size_t i = 0; i < count; ++i) {
        const auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handles[i]));
        Waitable* waitable = it == t.objects.end() ? nullptr : it->second->asWaitable();
        if (waitable == nullptr) return false;
        out.emplace_back(it->second, waitable);
    }
    return true;
}

bool closeHandle(HANDLE handle) {
    std::shared_ptr<Object> object;
    {
        HandleTable& t = table();
        std::lock_guard guard(t.lock);
        const auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == t.objects.end()) return false;
        object = std::move(it->second);
        t.objects.erase(it);
        t.freed.push_back(reinterpret_cast<std::uintptr_t>(handle));
    }
    object->onHandleClosed();
    return true;
}

std::size_t liveHandleCount() {
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    return t.objects.size();
}

}  // namespace ce::kernel

std::size_t host::liveHandleCount() { return ce::kernel::liveHandleCount(); }

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (!ce::kernel::closeHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

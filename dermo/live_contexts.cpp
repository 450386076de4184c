#include "live_contexts.h"

#include <cstring>

namespace {

// The table is two lists threaded through the records themselves: it needs no allocation and
// has nothing to destroy, so it stays intact however late the USB stack or the device manager
// calls in while the process exits, and leaves nothing behind when the library is unloaded.
DeviceContext* liveDevices = nullptr;
OpenContext* liveOpens = nullptr;
DWORD nextClientId = 1;

// Unlinks item; the candidates are compared by address, never read before they match.
template <class T>
void Unlink(T*& head, T* item) {
    for (T** link = &head; *link != nullptr; link = &(*link)->nextLive)
        if (*link == item) {
            *link = item->nextLive;
            item->nextLive = nullptr;
            return;
        }
}

template <class T>
bool Contains(const T* head, const T* item) {
    for (const T* live = head; live != nullptr; live = live->nextLive)
        if (live == item) return true;
    return false;
}

// Initialised on first use; deleted only by ReleaseContextsLock.
CRITICAL_SECTION& ContextsSection() {
    static CRITICAL_SECTION contexts;
    static const bool initialised = (InitializeCriticalSection(&contexts), true);
    (void)initialised;
    return contexts;
}

}  // namespace

ScopedLock LockContexts() {
    return ScopedLock(ContextsSection());
}

void ReleaseContextsLock() {
    CRITICAL_SECTION& section = ContextsSection();
    bool idle = false;
    {
        const ScopedLock lock(section);
        idle = liveDevices == nullptr && liveOpens == nullptr;
    }
    if (idle) DeleteCriticalSection(&section);
}

void AddLiveDevice(DeviceContext* context) {
    context->clientId = nextClientId++;
    if (nextClientId == 0) nextClientId = 1;
    context->references = 1;
    context->nextLive = liveDevices;
    liveDevices = context;
}

void RemoveLiveDevice(DeviceContext* context) {
    Unlink(liveDevices, context);
}

void AddLiveOpen(OpenContext* open) {
    open->nextLive = liveOpens;
    liveOpens = open;
}

void RemoveLiveOpen(OpenContext* open) {
    Unlink(liveOpens, open);
}

DeviceContext* FindDevice(DWORD_PTR handle) {
    auto* context = reinterpret_cast<DeviceContext*>(handle);
    if (context == nullptr || !Contains(liveDevices, context)) return nullptr;
    if (std::memcmp(context->signature, kDeviceSignature, sizeof kDeviceSignature) != 0)
        return nullptr;
    return context;
}

DeviceContext* FindDeviceByClientId(DWORD clientId) {
    if (clientId == 0) return nullptr;
    for (DeviceContext* context = liveDevices; context != nullptr; context = context->nextLive)
        if (context->clientId == clientId) return FindDevice(reinterpret_cast<DWORD_PTR>(context));
    return nullptr;
}

OpenContext* FindOpen(DWORD_PTR handle) {
    auto* open = reinterpret_cast<OpenContext*>(handle);
    if (open == nullptr || !Contains(liveOpens, open)) return nullptr;
    if (std::memcmp(open->signature, kOpenSignature, sizeof kOpenSignature) != 0) return nullptr;
    if (FindDevice(reinterpret_cast<DWORD_PTR>(open->device)) == nullptr) return nullptr;
    return open;
}

void HoldDevice(DeviceContext* context) {
    ++context->references;
}

DeviceContext* AcquireDevice(DWORD_PTR handle) {
    const auto lock = LockContexts();
    DeviceContext* context = FindDevice(handle);
    if (context != nullptr) HoldDevice(context);
    return context;
}

void ReleaseDevice(DeviceContext* context) {
    LONG left = 0;
    {
        const auto lock = LockContexts();
        left = --context->references;
    }
    // Out of the table by now, so nobody can take a new reference.
    if (left == 0) DestroyDeviceContext(context);
}

OpenContext* EnterCall(DWORD_PTR handle) {
    const auto lock = LockContexts();
    return FindOpen(handle);
}

#include "live_contexts.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Constant-initialised and never destroyed in a way that matters: the USB stack may still call
// into the driver while the process exits.
std::mutex contextMutex;

struct LiveTable {
    std::vector<DeviceContext*> devices;
    std::vector<OpenContext*> opens;
    DWORD nextClientId = 1;
};

LiveTable& Table() {
    static LiveTable* table = new LiveTable;
    return *table;
}

template <class T>
void Erase(std::vector<T*>& list, T* item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

template <class T>
bool Contains(const std::vector<T*>& list, const T* item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

std::unique_lock<std::mutex> LockContexts() {
    return std::unique_lock(contextMutex);
}

void AddLiveDevice(DeviceContext* context) {
    LiveTable& table = Table();
    context->clientId = table.nextClientId++;
    if (table.nextClientId == 0) table.nextClientId = 1;
    table.devices.push_back(context);
}

void RemoveLiveDevice(DeviceContext* context) {
    Erase(Table().devices, context);
}

void AddLiveOpen(OpenContext* open) {
    Table().opens.push_back(open);
}

void RemoveLiveOpen(OpenContext* open) {
    Erase(Table().opens, open);
}

DeviceContext* FindDevice(DWORD_PTR handle) {
    auto* context = reinterpret_cast<DeviceContext*>(handle);
    if (context == nullptr || !Contains(Table().devices, context)) return nullptr;
    if (std::memcmp(context->signature, kDeviceSignature, sizeof kDeviceSignature) != 0)
        return nullptr;
    return context;
}

DeviceContext* FindDeviceByClientId(DWORD clientId) {
    for (DeviceContext* context : Table().devices)
        if (clientId != 0 && context->clientId == clientId)
            return FindDevice(reinterpret_cast<DWORD_PTR>(context));
    return nullptr;
}

OpenContext* FindOpen(DWORD_PTR handle) {
    auto* open = reinterpret_cast<OpenContext*>(handle);
    if (open == nullptr || !Contains(Table().opens, open)) return nullptr;
    if (std::memcmp(open->signature, kOpenSignature, sizeof kOpenSignature) != 0) return nullptr;
    if (FindDevice(reinterpret_cast<DWORD_PTR>(open->device)) == nullptr) return nullptr;
    return open;
}

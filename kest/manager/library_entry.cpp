#include "manager/library_entry.h"

#include <new>

#include "manager/application_bridge.h"
#include "manager/device_manager.h"

namespace kest {

std::atomic<DeviceManager*> deviceManager{nullptr};
ApplicationBridge* applicationBridge = nullptr;
std::atomic<bool> processDetached{false};

namespace {

std::atomic<int> exportCallsUnderWay{0};
// Detached managers waiting for the export calls under way, linked through nextRetired.
std::atomic<DeviceManager*> retiredManagers{nullptr};

}  // namespace

// Called once no call was seen under way. A call that took a manager began before the manager
// was retired, so it is counted by the time the manager is taken off the list here: with the
// count still at zero the manager is free of calls; otherwise it goes back, for the last call
// under way to free.
void freeRetiredManagers() {
    DeviceManager* manager = retiredManagers.exchange(nullptr);
    while (manager != nullptr) {
        DeviceManager* const next = manager->nextRetired;
        if (exportCallsUnderWay.load() == 0) {
            delete manager;
        } else {
            retireManager(manager);
        }
        manager = next;
    }
}

namespace {

void attach() {
    if (processDetached.load()) return;
    if (deviceManager.load() == nullptr) deviceManager.store(new (std::nothrow) DeviceManager);
    DeviceManager* manager = deviceManager.load();
    if (applicationBridge == nullptr && manager != nullptr) {
        applicationBridge = new (std::nothrow) ApplicationBridge;
        if (applicationBridge != nullptr) applicationBridge->connect(*manager);
    }
}

// A FreeLibrary, or the entry point called directly: everything is stopped and freed.
void detach() {
    DeviceManager* manager = deviceManager.load();
    if (applicationBridge != nullptr) {
        if (manager != nullptr) applicationBridge->disconnect(*manager);
        delete applicationBridge;
        applicationBridge = nullptr;
    }
    // The exports see no manager from here on, before it is torn down.
    deviceManager.store(nullptr);
    DeviceManager::destroy(manager);
}

// Process exit: the loader may already have ended the library's threads anywhere, or they may
// run on until the process ends. Waiting for them could last for ever, and freeing what they use
// could crash them, so the manager and the bridge are left to the end of the process.
void detachAtExit() {
    DeviceManager::abandon(deviceManager.exchange(nullptr));
}

}  // namespace

// The count goes up before the manager is read, and detach clears the pointer before it retires
// the manager: a call that read the manager is counted by the time the retire looks.
ExportCall::ExportCall() {
    exportCallsUnderWay.fetch_add(1);
    manager_ = deviceManager.load();
}

ExportCall::~ExportCall() {
    if (exportCallsUnderWay.fetch_sub(1) == 1) freeRetiredManagers();
}

void retireManager(DeviceManager* manager) {
    manager->nextRetired = retiredManagers.load();
    while (!retiredManagers.compare_exchange_weak(manager->nextRetired, manager)) {
    }
    if (exportCallsUnderWay.load() == 0) freeRetiredManagers();
}

}  // namespace kest

// The platform calls the entry point of one library one reason at a time, as the handheld's
// loader does; the library-wide pointers rely on that.
extern "C" BOOL WINAPI DllMain(HANDLE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            kest::processDetached.store(false);
            kest::attach();
            break;
        case DLL_THREAD_ATTACH:
            kest::attach();
            if (kest::DeviceManager* manager = kest::deviceManager.load()) manager->threadAttached();
            break;
        case DLL_PROCESS_DETACH:
            kest::processDetached.store(true);
            // Non-null at process exit, null after a FreeLibrary.
            if (reserved != nullptr) {
                kest::detachAtExit();
            } else {
                kest::detach();
            }
            break;
        default:
            break;
    }
    return TRUE;
}

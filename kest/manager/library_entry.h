// The library's entry point and the pointers it keeps for the exports.
#pragma once

#include <windows.h>

#include <atomic>

namespace kest {

class DeviceManager;
class ApplicationBridge;

// Null until the library is attached and again after it is detached; the exports test it.
extern std::atomic<DeviceManager*> deviceManager;
extern ApplicationBridge* applicationBridge;
// Set by the process detach and cleared by the process attach: in between, a thread attach
// creates nothing.
extern std::atomic<bool> processDetached;

// One call of an export, from its start to its return. A manager detached while calls are under
// way is kept until the last of them has left, so that a call that took the manager before the
// detach never uses it freed; the calls under way wake once the manager's threads are stopped.
class ExportCall {
  public:
    ExportCall();
    ~ExportCall();
    ExportCall(const ExportCall&) = delete;
    ExportCall& operator=(const ExportCall&) = delete;

    // Null while the library is not attached.
    DeviceManager* manager() const { return manager_; }

  private:
    DeviceManager* manager_;
};

// Frees a detached manager whose threads have left: at once, or as the last export call under
// way leaves.
void retireManager(DeviceManager* manager);

}  // namespace kest

// Called by the platform's loader (and by tests) with the attach and detach reasons; always TRUE.
extern "C" BOOL WINAPI DllMain(HANDLE module, DWORD reason, LPVOID reserved);

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

}  // namespace kest

// Called by the platform's loader (and by tests) with the attach and detach reasons; always TRUE.
extern "C" BOOL WINAPI DllMain(HANDLE module, DWORD reason, LPVOID reserved);

// Connects the application's two handlers to the device manager's observer lists. The bridge
// holds nothing: its address only identifies its two entries.
#pragma once

#include <kest.h>

#include <atomic>

namespace kest {

class DeviceManager;

// The application's handlers, written by the exports and read at each call, so registering,
// replacing or removing one takes effect for the next message.
extern std::atomic<KEST_StateChangeHandler> applicationStateHandler;
extern std::atomic<KEST_StatusMessageHandler> applicationStatusHandler;

class ApplicationBridge {
  public:
    void connect(DeviceManager& manager);
    void disconnect(DeviceManager& manager);

    // Exceptions thrown by the application's handlers never leave these.
    static void statusMessageEventHandler(ApplicationBridge* bridge, const char* text);
    static void stateChangedEventHandler(ApplicationBridge* bridge, int state);
};

}  // namespace kest

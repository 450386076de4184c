#include "manager/application_bridge.h"

#include "manager/device_manager.h"

namespace kest {

std::atomic<KEST_StateChangeHandler> applicationStateHandler{nullptr};
std::atomic<KEST_StatusMessageHandler> applicationStatusHandler{nullptr};

void ApplicationBridge::connect(DeviceManager& manager) {
    manager.statusObservers.add(this, callback<&ApplicationBridge::statusMessageEventHandler>);
    manager.stateObservers.add(this, callback<&ApplicationBridge::stateChangedEventHandler>);
}

void ApplicationBridge::disconnect(DeviceManager& manager) {
    manager.statusObservers.remove(this, callback<&ApplicationBridge::statusMessageEventHandler>);
    manager.stateObservers.remove(this, callback<&ApplicationBridge::stateChangedEventHandler>);
}

void ApplicationBridge::statusMessageEventHandler(ApplicationBridge*, const char* text) {
    try {
        if (KEST_StatusMessageHandler handler = applicationStatusHandler.load()) handler(text);
    } catch (...) {
    }
}

void ApplicationBridge::stateChangedEventHandler(ApplicationBridge* bridge, int state) {
    try {
        if (KEST_StateChangeHandler handler = applicationStateHandler.load()) handler(state);
    } catch (...) {
        // Only the application's own status handler hears of it, not the other observers.
        statusMessageEventHandler(bridge, "exception in stateChangedEventHandler()");
    }
}

}  // namespace kest

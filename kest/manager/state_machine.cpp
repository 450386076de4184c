// The manager thread and its passes: every state change of the peripheral happens here.
#include <kest.h>
#include <kfuncs.h>

#include <stdexcept>

#include "manager/device_manager.h"
#include "serial/framed_port.h"

namespace kest {
namespace {

constexpr DWORD kPassInterval = 1000;  // ms; a pass runs at least this often
// While a power-on waits for the ports of the last power-off to go, nothing wakes the manager
// when they do: it looks again this soon.
constexpr DWORD kPortDepartureInterval = 10;  // ms
constexpr DWORD kDataPortBaudRate = 115200;

// The states of the activation of function k (1, 2 or 3).
constexpr int enabledState(int function) {
    return KEST_STATE_ENABLED_1 + 2 * (function - 1);
}
constexpr int activatingState(int function) {
    return enabledState(function) - 1;
}
constexpr BYTE activationCode(int function) {
    return static_cast<BYTE>(function + 2);
}

}  // namespace

DWORD WINAPI DeviceManager::runManager(LPVOID parameter) {
    auto* manager = static_cast<DeviceManager*>(parameter);
    manager->passStartGate();

    HANDLE handles[2];
    DWORD count = 0;
    if (manager->wakeEvent != nullptr) handles[count++] = manager->wakeEvent;
    if (manager->powerQueue != nullptr) handles[count++] = manager->powerQueue;

    while (manager->managerRunning.load(std::memory_order_acquire) != 0) {
        const DWORD interval =
            manager->awaitingPortDeparture ? kPortDepartureInterval : kPassInterval;
        if (count > 0) {
            WaitForMultipleObjects(count, handles, FALSE, interval);
        } else {
            Sleep(interval);
        }
        // The wake at shutdown must not start another pass: it could power the peripheral on
        // while the manager is being torn down.
        if (manager->managerRunning.load(std::memory_order_acquire) == 0) break;
        try {
            manager->handlePowerNotifications();
        } catch (...) {
            manager->reportStatus("Exception in handlePowerNotifications()");
        }
        try {
            manager->manage();
        } catch (...) {
            manager->reportStatus("Exception in manage()");
        }
    }
    manager->threadEnded(manager->managerDone, 0);
}

bool DeviceManager::detached() const {
    return managerRunning.load(std::memory_order_acquire) == 0;
}

int DeviceManager::manage() {
    int result = kStepDone;
    awaitingPortDeparture = false;
    // Taken before the power-off, so that a KEST_Disable arriving during it is not lost.
    const bool cycle = powerCycleNeeded.exchange(0) != 0;
    if (cycle || systemSuspended != 0 || inCradle != 0) result = powerOff();
    if (detached()) return kStepFailed;
    if (systemSuspended == 0 && inCradle == 0) {
        if (currentState == KEST_STATE_VERSION_PENDING &&
            versionReceived.load(std::memory_order_acquire) != 0) {
            setState(KEST_STATE_READY);
        }
        if (currentState == KEST_STATE_DOWNLOADING &&
            downloadDone.load(std::memory_order_acquire) != 0) {
            setState(KEST_STATE_READY);
        }
        if (detached()) return kStepFailed;
        DWORD requested = requestedState;
        switch (requested) {
            case KEST_STATE_CLOSED:
                result = closePeripheral();
                break;
            case KEST_STATE_READY:
                result = openPeripheral();
                break;
            case KEST_STATE_POWERED_OFF:
                result = powerOff();
                break;
            case KEST_STATE_ENABLED_1:
            case KEST_STATE_ENABLED_2:
            case KEST_STATE_ENABLED_3: {
                const int function = (static_cast<int>(requested) - KEST_STATE_ENABLED_1) / 2 + 1;
                if (currentState == static_cast<int>(requested)) break;
                // Another function is active: only a power cycle leaves it.
                if (activeFunction != 0 && activeFunction != static_cast<DWORD>(function)) {
                    result = powerOff();
                }
                if (result == kStepDone && !detached()) result = openPeripheral();
                if (result == kStepDone && !detached()) result = activateStep(function);
                break;
            }
            default:
                // Only the invalid value is replaced: a valid request written meanwhile stands.
                requestedState.compare_exchange_strong(requested, KEST_STATE_CLOSED);
                closePeripheral();
                result = kStepFailed;
                break;
        }
    }
    if (detached()) return kStepFailed;
    completeRequest();
    return result;
}

void DeviceManager::setState(int state) {
    const int previous = currentState;
    if (state != previous) reportFormatted("KEST state changed: %d => %d", previous, state);
    currentState = state;
    stateObservers.invoke(toWord(state));
}

int DeviceManager::closePeripheral() {
    if (currentState == KEST_STATE_CLOSED) return kStepDone;
    const int result = powerOff();
    if (result != kStepDone) return result;
    clearVersion();
    forgetDownload();
    setState(KEST_STATE_CLOSED);
    return kStepDone;
}

int DeviceManager::openPeripheral() {
    // A handler that detached the library during a step ends the chain there.
    const auto unlessDetached = [this](int result) { return detached() ? kStepFailed : result; };
    int result = unlessDetached(powerOn());
    if (result != kStepDone) return result;
    result = unlessDetached(openMDPChannel());
    if (result != kStepDone) return result;
    if (versionRequested != 0 && versionReceived.load(std::memory_order_acquire) == 0) {
        result = unlessDetached(versionStep());
        if (result != kStepDone) return result;
    }
    if (downloadRequested != 0 && downloadDone.load(std::memory_order_acquire) == 0) {
        return downloadStep();
    }
    return kStepDone;
}

int DeviceManager::openMDPChannel() {
    if (dataPort.load(std::memory_order_acquire) != nullptr) return kStepDone;
    {
        // A discarded port the monitor still has: the next pass, woken as it lets go, goes on.
        Guard claim(portUseLock);
        if (claimedPort != nullptr) return kStepInProgress;
    }
    const int found = DiscoverDataPort();
    if (found != kStepDone) return found;

    FramedPort* port = nullptr;
    try {
        port = new FramedPort(dataPortName, kDataPortBaudRate);
        dataPort.store(port, std::memory_order_release);
        port->AddMessageHandler(this, callback<&DeviceManager::forwardPortMessage>);
        if (!port->Open()) throw std::runtime_error("Data port open failed.");
        port->AddFrameHandler(this, callback<&DeviceManager::handleMessage>);
        dataChannelOpen.store(1, std::memory_order_release);
        reportFormatted("%s opened.", dataPortName);
        setState(KEST_STATE_READY);
        // Only once the channel is published: a monitor woken before would find it closed and
        // sit out its idle wait.
        EventModify(monitorWakeEvent, EVENT_SET);
        return kStepDone;
    } catch (...) {
        // dataPortName stays: the next pass opens the same port again.
        if (port != nullptr) discardDataPort(port);
        reportFormatted("Error opening: %s", dataPortName);
        return kStepFailed;
    }
}

int DeviceManager::closeMDPChannel() {
    try {
        FramedPort* const port = dataPort.load(std::memory_order_acquire);
        if (port == nullptr) return kStepDone;
        discardDataPort(port);
        // A transfer cannot go on over another port or power session.
        abandonTransfer();
        reportFormatted("%s closed.", dataPortName);
        return kStepDone;
    } catch (...) {
        reportStatus("Exception in closeMDPChannel");
        return kStepFailed;
    }
}

void DeviceManager::discardDataPort(FramedPort* port) {
    dataChannelOpen.store(0, std::memory_order_release);
    // Closing ends a wait or a read of the monitor on the port. The monitor may still be in a
    // frame handler, which may be an application's handler waiting for this very pass: so the
    // port is not waited for but, if claimed, left to the monitor to delete.
    port->Close();
    port->RemoveFrameHandler(this, callback<&DeviceManager::handleMessage>);
    port->RemoveMessageHandler(this, callback<&DeviceManager::forwardPortMessage>);
    bool claimed = false;
    {
        Guard claim(portUseLock);
        dataPort.store(nullptr, std::memory_order_release);
        claimed = claimedPort == port;
        if (claimed) claimedPortDiscarded = true;
    }
    if (!claimed) delete port;
}

int DeviceManager::activateStep(int function) {
    const int enabled = enabledState(function);
    const int activating = activatingState(function);
    const int state = currentState;
    if (state == enabled) return kStepDone;
    if (state == KEST_STATE_READY) {
        setState(activating);
        dataChannelOpen.store(0, std::memory_order_release);
        sendActivatePeripheral(activationCode(function));
        closeMDPChannel();
        setState(enabled);
        activeFunction = static_cast<DWORD>(function);
        return kStepDone;
    }
    if (state == KEST_STATE_VERSION_PENDING || state == KEST_STATE_DOWNLOADING ||
        state == activating) {
        return kStepInProgress;
    }
    return kStepFailed;
}

}  // namespace kest

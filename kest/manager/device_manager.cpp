#include "manager/device_manager.h"

#include <pm.h>

#include "serial/framed_port.h"

namespace kest {
namespace {

void closeIfOpen(HANDLE handle) {
    if (handle != nullptr) CloseHandle(handle);
}

}  // namespace

DeviceManager::DeviceManager() {
    wakeEvent = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    monitorWakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    requestDoneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    powerQueueOptions.dwSize = sizeof(MSGQUEUEOPTIONS);
    powerQueueOptions.dwFlags = MSGQUEUE_NOPRECOMMIT;
    powerQueueOptions.dwMaxMessages = 32;
    powerQueueOptions.cbMaxMessage = 512;
    powerQueueOptions.bReadAccess = TRUE;
    requestPending.store(0, std::memory_order_relaxed);
    requestResult.store(0, std::memory_order_relaxed);
    powerQueue = CreateMsgQueue(nullptr, &powerQueueOptions);
    powerNotifications = RequestPowerNotifications(powerQueue, POWER_NOTIFY_ALL);

    startThreads();
}

void DeviceManager::startThreads() {
    // The threads pass this gate only once both handles and ids are stored, so whichever thread
    // later stops or frees the manager sees them.
    std::lock_guard gate(startGate);

    DWORD id = 0;
    managerRunning.store(1, std::memory_order_release);
    threadsRunning.fetch_add(1, std::memory_order_relaxed);
    managerThread = CreateThread(nullptr, 0, runManager, this, 0, &id);
    if (managerThread == nullptr) threadsRunning.fetch_sub(1, std::memory_order_relaxed);
    managerThreadId = id;

    id = 0;
    monitorRunning.store(1, std::memory_order_release);
    dataChannelOpen.store(0, std::memory_order_release);
    threadsRunning.fetch_add(1, std::memory_order_relaxed);
    monitorThread = CreateThread(nullptr, 0, StartMonitorThread, this, 0, &id);
    if (monitorThread == nullptr) threadsRunning.fetch_sub(1, std::memory_order_relaxed);
    monitorThreadId = id;
}

void DeviceManager::passStartGate() {
    std::lock_guard gate(startGate);
}

bool DeviceManager::onOwnThread() const {
    const DWORD self = GetCurrentThreadId();
    return (managerThread != nullptr && self == managerThreadId) ||
           (monitorThread != nullptr && self == monitorThreadId);
}

void DeviceManager::destroy(DeviceManager* manager) {
    if (manager == nullptr) return;
    manager->monitorRunning.store(0, std::memory_order_release);
    manager->managerRunning.store(0, std::memory_order_release);
    manager->dataChannelOpen.store(0, std::memory_order_release);
    EventModify(manager->monitorWakeEvent, EVENT_SET);
    EventModify(manager->wakeEvent, EVENT_SET);

    if (!manager->onOwnThread()) {
        if (manager->managerThread != nullptr) {
            WaitForSingleObject(manager->managerThread, INFINITE);
        }
        // With the manager thread ended nobody deletes the data port under this call; closing
        // it ends a wait or a read of the monitor on it, which may otherwise last without limit.
        if (FramedPort* port = manager->dataPort.load(std::memory_order_acquire)) port->Close();
        if (manager->monitorThread != nullptr) {
            WaitForSingleObject(manager->monitorThread, INFINITE);
        }
        delete manager;
        return;
    }

    // Called from inside one of the manager's own threads, which cannot wait for itself. The
    // port must still be closed if this thread would go on reading it: the manager thread is its
    // only deleter, and the monitor thread's claim on the port keeps it from being freed.
    const DWORD self = GetCurrentThreadId();
    const bool mayClose = self == manager->managerThreadId || manager->monitorInPort;
    if (FramedPort* port = manager->dataPort.load(std::memory_order_acquire); port && mayClose) {
        port->Close();
    }
    manager->freedByLastThread.store(true, std::memory_order_release);
}

void DeviceManager::threadEnded() {
    if (threadsRunning.fetch_sub(1, std::memory_order_acq_rel) == 1 &&
        freedByLastThread.load(std::memory_order_acquire)) {
        delete this;
    }
}

DeviceManager::~DeviceManager() {
    closeIfOpen(monitorThread);
    closeIfOpen(managerThread);
    closeIfOpen(wakeEvent);
    closeIfOpen(monitorWakeEvent);
    closeIfOpen(requestDoneEvent);

    if (powerNotifications != nullptr) StopPowerNotifications(powerNotifications);
    if (powerQueue != nullptr) CloseMsgQueue(powerQueue);

    if (FramedPort* port = dataPort.load(std::memory_order_acquire)) discardDataPort(port);
    if (powerPort != nullptr) {
        powerPort->Close();
        powerPort->RemoveMessageHandler(this, callback<&DeviceManager::forwardPortMessage>);
        delete powerPort;
        powerPort = nullptr;
    }

    downloadBuffer.reset();
}

}  // namespace kest

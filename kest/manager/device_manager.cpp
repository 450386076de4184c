#include "manager/device_manager.h"

#include <kfuncs.h>
#include <pm.h>

#include "manager/library_entry.h"
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
    Guard gate(startGate);

    managerRunning.store(1, std::memory_order_release);
    managerThread = startThread(runManager, managerDone, managerThreadId);
    monitorRunning.store(1, std::memory_order_release);
    dataChannelOpen.store(0, std::memory_order_release);
    monitorThread = startThread(StartMonitorThread, monitorDone, monitorThreadId);
}

HANDLE DeviceManager::startThread(LPTHREAD_START_ROUTINE routine, HANDLE& done, DWORD& id) {
    done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr) return nullptr;  // destroy could not tell when the thread is out
    threadsRunning.fetch_add(1, std::memory_order_relaxed);
    HANDLE thread = CreateThread(nullptr, 0, routine, this, 0, &id);
    if (thread == nullptr) threadsRunning.fetch_sub(1, std::memory_order_relaxed);
    return thread;
}

void DeviceManager::threadAttached() {
    const DWORD self = GetCurrentThreadId();
    if (self == managerThreadId) managerAttached.store(true, std::memory_order_release);
    if (self == monitorThreadId) monitorAttached.store(true, std::memory_order_release);
}

// Neither wait is for the thread's end, which needs the loader lock this detach may hold.
void DeviceManager::awaitThreadOut(HANDLE thread, HANDLE done, const std::atomic<bool>& attached) {
    if (thread == nullptr) return;
    // Unattached under the lock this detach holds, the thread cannot begin its routine before
    // the library is gone: it must not begin it at all.
    if (attached.load(std::memory_order_acquire)) {
        WaitForSingleObject(done, INFINITE);
    }
    // With its done event set the thread holds nothing and is asleep for good, or on its way
    // there through the library's own code: it is ended there, before the library is unmapped.
    TerminateThread(thread, 0);
}

void DeviceManager::passStartGate() {
    Guard gate(startGate);
}

bool DeviceManager::onOwnThread() const {
    const DWORD self = GetCurrentThreadId();
    return (managerThread != nullptr && self == managerThreadId) ||
           (monitorThread != nullptr && self == monitorThreadId);
}

void DeviceManager::stopThreads() {
    monitorRunning.store(0, std::memory_order_release);
    managerRunning.store(0, std::memory_order_release);
    dataChannelOpen.store(0, std::memory_order_release);
    EventModify(monitorWakeEvent, EVENT_SET);
    EventModify(wakeEvent, EVENT_SET);
    EventModify(requestDoneEvent, EVENT_SET);  // a request waited for ends unfulfilled
}

void DeviceManager::abandon(DeviceManager* manager) {
    if (manager != nullptr) manager->stopThreads();
}

void DeviceManager::destroy(DeviceManager* manager) {
    if (manager == nullptr) return;
    const bool onOwnThread = manager->onOwnThread();
    // Before the threads are told to stop: each reads them as it ends, to know whether it frees
    // the manager and whether this call ends it.
    manager->freedByLastThread.store(onOwnThread, std::memory_order_release);
    manager->endedByDestroy.store(!onOwnThread, std::memory_order_release);
    manager->stopThreads();

    if (!onOwnThread) {
        // The done events, not the thread handles: a thread's end waits for the loader lock,
        // which a FreeLibrary holds while it runs this.
        awaitThreadOut(manager->managerThread, manager->managerDone, manager->managerAttached);
        // With the manager thread out nobody deletes the data port under this call; closing it
        // ends a wait or a read of the monitor on it, which may otherwise last without limit.
        if (FramedPort* port = manager->dataPort.load(std::memory_order_acquire)) port->Close();
        awaitThreadOut(manager->monitorThread, manager->monitorDone, manager->monitorAttached);
        retireManager(manager);
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
}

void DeviceManager::threadEnded(HANDLE done, DWORD exitCode) {
    const bool freesManager = freedByLastThread.load(std::memory_order_acquire);
    const bool awaitsItsEnd = endedByDestroy.load(std::memory_order_acquire);
    const bool last = threadsRunning.fetch_sub(1, std::memory_order_acq_rel) == 1;
    if (last && freesManager) {
        retireManager(this);
    } else if (!freesManager) {
        EventModify(done, EVENT_SET);  // from here on destroy may free the manager and the library
    }
    // Otherwise nobody waits for the done event, and the last thread may already have closed it
    // with the manager: its handle value may by now name another object.
    // Straight out of the thread: returning would run the epilogues of the routine, code of a
    // library that may be unmapped by then.
    if (!awaitsItsEnd) ExitThread(exitCode);
    // Ended by a detach on another thread, which holds the loader lock that ExitThread waits
    // for. A thread ended on its way into that wait may leave the loader's own bookkeeping of
    // it half done (under Wine a spin lock of the wait queue stays held), and the detach's
    // FreeLibrary then never returns. Asleep, the thread holds nothing.
    for (;;) Sleep(INFINITE);
}

DeviceManager::~DeviceManager() {
    closeIfOpen(monitorThread);
    closeIfOpen(managerThread);
    closeIfOpen(monitorDone);
    closeIfOpen(managerDone);
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

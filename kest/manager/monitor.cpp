// The monitor thread: the only reader of the data port. It idles while the data channel is
// closed, and while it is open waits for comm events, reads and so drives the frame decoder,
// whose frames reach the frame handlers on this thread.
#include <kfuncs.h>


#include "manager/device_manager.h"
#include "serial/framed_port.h"

namespace kest {
namespace {

constexpr DWORD kMonitoredEvents = 0x21FD;  // every comm event but EV_RXFLAG
constexpr DWORD kIdleWait = 500;            // ms between looks at a closed channel
constexpr DWORD kPauseAfterFailedWait = 100;

struct EventLine {
    DWORD event;
    const char* text;
};

// The events that cause nothing but their line, in the order the lines are reported.
constexpr EventLine kEventLines[] = {
    {EV_BREAK, "EV_BREAK event"},     {EV_CTS, "EV_CTS event"},     {EV_DSR, "EV_DSR event"},
    {EV_ERR, "EV_ERR event"},         {EV_RING, "EV_RING event"},   {EV_RLSD, "EV_RLSD event"},
    {EV_TXEMPTY, "EV_TXEMPTY event"}, {EV_POWER, "EV_POWER event"},
};

// Ends the monitor's claim on the data port however the wait is left, by an exception too.
class DataPortClaim {
  public:
    explicit DataPortClaim(DeviceManager& manager)
        : manager_(manager), port_(manager.claimDataPort()) {}
    ~DataPortClaim() {
        if (port_ != nullptr) manager_.releaseDataPort();
    }
    DataPortClaim(const DataPortClaim&) = delete;
    DataPortClaim& operator=(const DataPortClaim&) = delete;

    FramedPort* port() const { return port_; }

  private:
    DeviceManager& manager_;
    FramedPort* const port_;
};

}  // namespace

DWORD WINAPI DeviceManager::StartMonitorThread(LPVOID parameter) {
    auto* manager = static_cast<DeviceManager*>(parameter);
    manager->passStartGate();
    manager->reportStatus("StartMonitorThread()");
    const int result = manager->monitor();
    manager->threadEnded(manager->monitorDone, static_cast<DWORD>(result));
}

// Waits on the wake event rather than sleeping, so that a detach ends the pause at once.
void DeviceManager::pauseAfterFailedWait() {
    WaitForSingleObject(monitorWakeEvent, kPauseAfterFailedWait);
}

bool DeviceManager::channelOpen() const {
    return dataChannelOpen.load(std::memory_order_acquire) != 0 &&
           dataPort.load(std::memory_order_acquire) != nullptr;
}

FramedPort* DeviceManager::claimDataPort() {
    Guard claim(portUseLock);
    if (!channelOpen()) return nullptr;
    claimedPort = dataPort.load(std::memory_order_acquire);
    monitorInPort = true;
    return claimedPort;
}

void DeviceManager::releaseDataPort() {
    FramedPort* port = nullptr;
    {
        Guard claim(portUseLock);
        monitorInPort = false;
        if (claimedPortDiscarded) port = claimedPort;
        claimedPort = nullptr;
        claimedPortDiscarded = false;
    }
    if (port == nullptr) return;
    delete port;
    // The manager opens no new data port while this one was claimed.
    EventModify(wakeEvent, EVENT_SET);
}

bool DeviceManager::watchDataPort() {
    const DataPortClaim claim(*this);
    FramedPort* const port = claim.port();
    if (port == nullptr) return true;
    reportStatus("Waiting for comm event ...");
    const DWORD events = port->WaitForCommEvent(kMonitoredEvents);
    if (!channelOpen()) return true;
    if (events == 0) {
        reportStatus("WaitForEvent error");
        return false;
    }
    if ((events & EV_RXCHAR) != 0) {
        reportStatus("EV_RXCHAR event");
        port->ReceiveData();
    }
    for (const EventLine& line : kEventLines) {
        if ((events & line.event) != 0) reportStatus(line.text);
    }
    // A wait that fails is reported as EV_ERR alone, and on a port whose device has gone it
    // fails at once every time: without the pause a wait with no event gets, the thread would
    // spin and flood the status handler.
    return events != EV_ERR;
}

int DeviceManager::monitor() {
    reportStatus("monitor()");
    try {
        while (monitorRunning.load(std::memory_order_acquire) != 0) {
            if (!channelOpen()) {
                WaitForSingleObject(monitorWakeEvent, kIdleWait);
                continue;
            }
            if (!watchDataPort()) pauseAfterFailedWait();
        }
    } catch (...) {
        reportStatus("Exception in monitor()");
    }
    reportStatus("monitor() exiting");
    return 0;
}

}  // namespace kest

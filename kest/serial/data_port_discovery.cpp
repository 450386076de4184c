// Discovery of the data port: the lowest-numbered COM port that has become active since the
// peripheral was powered on.
#include <bit>

#include "manager/device_manager.h"
#include "serial/com_port_discovery.h"

namespace kest {

int DeviceManager::DiscoverDataPort() {
    reportStatus("Trying to get COM port");
    if (dataPortName[0] != '\0') return kStepDone;
    const DWORD newPorts = ActiveComPortMask() & ~portsBeforePowerOn;
    if (newPorts == 0) return kStepInProgress;
    const int number = std::countr_zero(newPorts);
    if (!FindComPortName(static_cast<DWORD>(number), dataPortName) || dataPortName[0] == '\0') {
        return kStepInProgress;
    }
    reportFormatted("New COM port[%d]:", number);
    reportStatus(dataPortName);
    return kStepDone;
}

}  // namespace kest

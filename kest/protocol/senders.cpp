// Requests sent to the peripheral.
//
// Not built yet: nothing is sent. Only the activation step calls it, and that step runs only on
// an open data channel, which cannot be reached before the port layers exist.
#include "manager/device_manager.h"

namespace kest {

void DeviceManager::sendActivatePeripheral(BYTE) {}

}  // namespace kest

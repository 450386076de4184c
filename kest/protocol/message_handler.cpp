// Dispatch of the messages received on the data port.
//
// Not built yet: received frames are dropped unread.
#include "manager/device_manager.h"

namespace kest {

void DeviceManager::handleMessage(DeviceManager*, const Frame*) {}

}  // namespace kest

// Ends the manager thread of an attached library, so that the test itself plays that thread: it
// may then call the steps (powerOn, openMDPChannel, DiscoverDataPort, ...) and write the fields
// that only the manager thread writes (systemSuspended, inCradle) without a pass of the manager
// running beside it. The monitor thread keeps running, and detaching the library still frees
// everything.
#pragma once

namespace kest {
class DeviceManager;
}

namespace kest_test {

// False when the thread did not end within the patience of the tests.
bool stopManagerThread(kest::DeviceManager& manager);

}  // namespace kest_test

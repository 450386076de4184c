// Host control API: the power manager's notifications.
//
// On the handheld the power manager writes a POWER_BROADCAST record into every message queue
// registered with RequestPowerNotifications when the system suspends, resumes, or its power
// supply changes. On this host, tests and tools announce those changes with these calls.
#pragma once

#include <pm.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace host::power {

// Writes the record into every registered queue whose notification mask has a bit of the
// record's Message in common, without waiting: a full queue misses the record. Returns the
// number of queues that received it. Records shorter than the 12-byte header are refused (0).
std::size_t broadcast(const void* record, std::size_t length);

// A record of the given Message and Flags with no data (Length 0).
std::vector<std::uint8_t> makeRecord(DWORD message, DWORD flags);

// A PBT_POWERINFOCHANGE record carrying a POWER_BROADCAST_POWER_INFO.
std::vector<std::uint8_t> makePowerInfoRecord(const POWER_BROADCAST_POWER_INFO& info,
                                              DWORD flags = 0);

// Waits until every registered queue has been read empty: each record written into it taken and
// its reader back to find no more, so that a reader which handles its records as it drains them
// has handled them. Returns false when the time-out (milliseconds) passes first.
bool waitUntilRead(DWORD timeoutMs);

// Number of current registrations, so that tests can see a library register and let go.
std::size_t registrationCount();

}  // namespace host::power

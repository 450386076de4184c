// The power manager's notification side. RequestPowerNotifications opens a write end on the
// caller's queue and keeps it with the Message bits asked for; a broadcast writes the
// POWER_BROADCAST record into every registered end whose bits it has in common, without
// waiting: a full queue, or one whose reader has gone, misses the record.
#include <msgqueue.h>
#include <pm.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "critical_section.h"
#include "host_power.h"

namespace coredll {
namespace {

struct Registration {
    HANDLE writer;  // also the handle StopPowerNotifications takes
    DWORD mask;
};

struct Registrations {
    // Held across a broadcast's writes, which never wait, so that no registration's end is
    // closed under it (its handle value could be given to another end at once).
    CriticalSection lock;
    std::vector<Registration> all;
};

// Built on first use and never destroyed, as the queue table (message_queue.cpp).
Registrations& registrations() {
    static Registrations* const instance = new Registrations;
    return *instance;
}

}  // namespace
}  // namespace coredll

using coredll::Guard;
using coredll::registrations;

HANDLE WINAPI RequestPowerNotifications(HANDLE hMsgQ, DWORD Flags) {
    if (Flags == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    MSGQUEUEOPTIONS writeEnd{};
    writeEnd.dwSize = sizeof writeEnd;
    writeEnd.bReadAccess = FALSE;
    HANDLE writer = OpenMsgQueue(GetCurrentProcess(), hMsgQ, &writeEnd);
    if (writer == nullptr) return nullptr;
    Guard guard(registrations().lock);
    registrations().all.push_back({writer, Flags});
    return writer;
}

DWORD WINAPI StopPowerNotifications(HANDLE h) {
    {
        Guard guard(registrations().lock);
        auto& all = registrations().all;
        const auto it = std::find_if(all.begin(), all.end(),
                                     [&](const coredll::Registration& r) { return r.writer == h; });
        if (it == all.end()) return ERROR_INVALID_HANDLE;
        all.erase(it);
    }
    CloseMsgQueue(h);
    return ERROR_SUCCESS;
}

DWORD WINAPI HostBroadcastPowerNotification(DWORD message, DWORD flags, const void* data,
                                            DWORD length) {
    if (data == nullptr && length != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    constexpr DWORD kHeader = offsetof(POWER_BROADCAST, SystemPowerState);
    std::vector<BYTE> record(kHeader + length);
    const POWER_BROADCAST header{message, flags, length, {}};
    std::memcpy(record.data(), &header, kHeader);
    if (length != 0) std::memcpy(record.data() + kHeader, data, length);

    DWORD delivered = 0;
    Guard guard(registrations().lock);
    for (const coredll::Registration& registration : registrations().all) {
        if ((registration.mask & message) != 0 &&
            WriteMsgQueue(registration.writer, record.data(), static_cast<DWORD>(record.size()), 0,
                          0)) {
            ++delivered;
        }
    }
    return delivered;
}

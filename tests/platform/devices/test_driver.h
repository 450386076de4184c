// What the test driver library records, read by the tests through TestDriver_Stats.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct TestDriverStats {
    int inits = 0;
    int deinits = 0;
    int deinitsWithOpens = 0;  // Deinit ran while an open context was still alive
    int preCloses = 0;
    int closes = 0;
    int closesWithCallsInFlight = 0;  // Close ran while a Read was still inside the driver
    int readsBlocked = 0;
    std::uintptr_t lastClientInfo = 0;
    std::string lastActiveKey;
    DWORD lastAccess = 0;
    DWORD lastShare = 0;
};

using TestDriverStatsFn = void (*)(TestDriverStats*);

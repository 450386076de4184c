// Watches the calls the serial classes make on their device: this test program defines the comm
// and file calls itself, records each one and passes it on to the platform's own. A test can
// so see what reached the driver (the time-outs written back at close, a wait that was never
// made) and wait for a call to happen instead of sleeping.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

namespace spy {

enum class Kind {
    GetTimeouts,
    SetTimeouts,
    ClearError,
    SetMask,
    WaitEvent,
    ReadStart,
    Read,
    Write
};

struct Call {
    Kind kind;
    HANDLE handle;
    COMMTIMEOUTS timeouts;  // GetTimeouts, SetTimeouts: what was read or written
    DWORD value;            // SetMask: the mask; Read, Write: the bytes moved
};

std::vector<Call> calls();
std::vector<Call> callsOf(Kind kind);
void clear();

// What GetCommTimeouts reports from now on, as if the driver had these time-outs; none to report
// the driver's own.
void setDriverTimeouts(std::optional<COMMTIMEOUTS> timeouts);

// Waits until the recorded calls satisfy done, at most a generous bound; false when it passed.
bool waitFor(const std::function<bool(const std::vector<Call>&)>& done,
             std::chrono::milliseconds bound = std::chrono::seconds(10));

// WaitCommEvent is recorded when it is entered, ReadFile when it is entered (ReadStart) and
// when it returns (Read), every other call when it returns.
inline bool has(const std::vector<Call>& calls, Kind kind) {
    for (const Call& c : calls)
        if (c.kind == kind) return true;
    return false;
}
inline bool waitEntered(const std::vector<Call>& calls) {
    return has(calls, Kind::WaitEvent);
}
inline bool readEntered(const std::vector<Call>& calls) {
    return has(calls, Kind::ReadStart);
}

}  // namespace spy

bool operator==(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b);

#include "comm_spy.h"

#include <dlfcn.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex callsLock;
std::condition_variable changed;
std::vector<spy::Call> recorded;
std::optional<COMMTIMEOUTS> driverTimeouts;

void record(spy::Kind kind, HANDLE handle, const COMMTIMEOUTS* timeouts, DWORD value) {
    {
        std::lock_guard guard(callsLock);
        recorded.push_back({kind, handle, timeouts ? *timeouts : COMMTIMEOUTS{}, value});
    }
    changed.notify_all();
}

// The platform's own definition of a call that this program replaces.
template <class F>
F real(const char* name) {
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == nullptr) std::abort();
    return reinterpret_cast<F>(symbol);
}

}  // namespace

namespace spy {

std::vector<Call> calls() {
    std::lock_guard guard(callsLock);
    return recorded;
}

std::vector<Call> callsOf(Kind kind) {
    std::vector<Call> found;
    for (const Call& c : calls())
        if (c.kind == kind) found.push_back(c);
    return found;
}

void clear() {
    std::lock_guard guard(callsLock);
    recorded.clear();
}

void setDriverTimeouts(std::optional<COMMTIMEOUTS> timeouts) {
    std::lock_guard guard(callsLock);
    driverTimeouts = timeouts;
}

bool waitFor(const std::function<bool(const std::vector<Call>&)>& done,
             std::chrono::milliseconds bound) {
    std::unique_lock guard(callsLock);
    return changed.wait_for(guard, bound, [&] { return done(recorded); });
}

}  // namespace spy

bool operator==(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
    return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
           a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
           a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
           a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
           a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    static const auto next = real<decltype(&GetCommTimeouts)>("GetCommTimeouts");
    const BOOL ok = next(hFile, lpCommTimeouts);
    if (ok) {
        std::lock_guard guard(callsLock);
        if (driverTimeouts) *lpCommTimeouts = *driverTimeouts;
    }
    record(spy::Kind::GetTimeouts, hFile, lpCommTimeouts, 0);
    return ok;
}

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    static const auto next = real<decltype(&SetCommTimeouts)>("SetCommTimeouts");
    const BOOL ok = next(hFile, lpCommTimeouts);
    record(spy::Kind::SetTimeouts, hFile, lpCommTimeouts, 0);
    return ok;
}

extern "C" BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    static const auto next = real<decltype(&ClearCommError)>("ClearCommError");
    const BOOL ok = next(hFile, lpErrors, lpStat);
    record(spy::Kind::ClearError, hFile, nullptr, 0);
    return ok;
}

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    static const auto next = real<decltype(&SetCommMask)>("SetCommMask");
    const BOOL ok = next(hFile, dwEvtMask);
    record(spy::Kind::SetMask, hFile, nullptr, dwEvtMask);
    return ok;
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    static const auto next = real<decltype(&WaitCommEvent)>("WaitCommEvent");
    record(spy::Kind::WaitEvent, hFile, nullptr, 0);
    return next(hFile, lpEvtMask, lpOverlapped);
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    static const auto next = real<decltype(&ReadFile)>("ReadFile");
    record(spy::Kind::ReadStart, hFile, nullptr, 0);
    DWORD read = 0;
    const BOOL ok = next(hFile, lpBuffer, nNumberOfBytesToRead, &read, lpOverlapped);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = read;
    record(spy::Kind::Read, hFile, nullptr, read);
    return ok;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    static const auto next = real<decltype(&WriteFile)>("WriteFile");
    DWORD written = 0;
    const BOOL ok = next(hFile, lpBuffer, nNumberOfBytesToWrite, &written, lpOverlapped);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = written;
    record(spy::Kind::Write, hFile, nullptr, written);
    return ok;
}

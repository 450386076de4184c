// Point-to-point message queues over Win32 kernel objects. Every end of a queue is a
// manual-reset event of its own, so that WaitForSingleObject and WaitForMultipleObjects take it
// as they take any handle: a read end is signalled while a message is queued, a write end while
// there is room. The queue behind an event is found in one table, keyed by the handle, under one
// critical section; a read or write that has to wait sleeps on its queue's condition variable.
//
// The ends must be closed with CloseMsgQueue: CloseHandle alone would leave the table entry
// behind for a handle value that the system may give to another object.
#include <msgqueue.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "critical_section.h"

namespace coredll {
namespace {

struct Message {
    std::vector<BYTE> bytes;
    DWORD flags;
};

struct End;

// Every field of a queue and of its ends is guarded by the table's lock.
struct Queue {
    std::wstring name;  // empty for an unnamed queue
    DWORD flags = 0;
    DWORD maxMessages = 0;  // 0: no limit
    DWORD maxMessageSize = 0;
    std::deque<Message> messages;
    std::vector<End*> ends;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;

    bool full() const { return maxMessages != 0 && messages.size() >= maxMessages; }
    bool allowBroken() const { return (flags & MSGQUEUE_ALLOW_BROKEN) != 0; }
    bool hasEnd(bool readAccess) const;
    // Brings every end's event in line with the queue and wakes every blocked call.
    void changedLocked();
};

struct End {
    std::shared_ptr<Queue> queue;
    bool readAccess;
    HANDLE event;
    bool signalled = false;
    bool closed = false;  // a call blocked on the end returns once it sees this
};

bool Queue::hasEnd(bool readAccess) const {
    return std::any_of(ends.begin(), ends.end(),
                       [&](const End* end) { return end->readAccess == readAccess; });
}

void Queue::changedLocked() {
    for (End* end : ends) {
        const bool signalled = end->readAccess ? !messages.empty() : !full();
        if (signalled == end->signalled) continue;
        end->signalled = signalled;
        if (signalled) {
            SetEvent(end->event);
        } else {
            ResetEvent(end->event);
        }
    }
    WakeAllConditionVariable(&changed);
}

// Queue names compare without case, as the handheld's object names do.
struct NameLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    }
};

struct Table {
    CriticalSection lock;
    // Shared with the calls blocked on an end, which outlive its entry when it is closed.
    std::map<HANDLE, std::shared_ptr<End>> ends;
    std::map<std::wstring, std::shared_ptr<Queue>, NameLess> named;  // while it has an end
};

// Built on first use and never destroyed: at process exit the loader may run the detach of this
// library while threads that the system has not ended yet still use their queues.
Table& table() {
    static Table* const instance = new Table;
    return *instance;
}

std::shared_ptr<End> findLocked(HANDLE handle) {
    const auto it = table().ends.find(handle);
    return it == table().ends.end() ? nullptr : it->second;
}

std::shared_ptr<End> find(HANDLE handle) {
    Guard guard(table().lock);
    return findLocked(handle);
}

// The event of a new end; null, with the last error set, when none can be made.
HANDLE newEndEvent() {
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

void addEndLocked(const std::shared_ptr<Queue>& queue, bool readAccess, HANDLE event) {
    auto end = std::make_shared<End>(End{queue, readAccess, event});
    queue->ends.push_back(end.get());
    table().ends.emplace(event, std::move(end));
    queue->changedLocked();
}

// The time left of a call's time-out.
class Deadline {
  public:
    explicit Deadline(DWORD timeoutMs) : timeoutMs_(timeoutMs), start_(GetTickCount64()) {}

    DWORD remaining() const {
        if (timeoutMs_ == INFINITE) return INFINITE;
        const ULONGLONG elapsed = GetTickCount64() - start_;
        return elapsed >= timeoutMs_ ? 0 : static_cast<DWORD>(timeoutMs_ - elapsed);
    }

  private:
    const DWORD timeoutMs_;
    const ULONGLONG start_;
};

// Sleeps until the queue changes or the time is up (false, without sleeping, once it is).
// Callers look at the queue again after every wake.
bool awaitChange(Queue& queue, const Deadline& deadline) {
    const DWORD left = deadline.remaining();
    if (left == 0) return false;
    SleepConditionVariableCS(&queue.changed, table().lock.get(), left);
    return true;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL read(End& end, void* buffer, DWORD size, DWORD* bytesRead, DWORD timeoutMs, DWORD* flags) {
    if (!end.readAccess) return fail(ERROR_ACCESS_DENIED);
    if (buffer == nullptr || bytesRead == nullptr) return fail(ERROR_INVALID_PARAMETER);
    const Deadline deadline(timeoutMs);
    Guard guard(table().lock);
    Queue& queue = *end.queue;
    for (;;) {
        if (end.closed) return fail(ERROR_INVALID_HANDLE);
        if (!queue.messages.empty()) {
            Message message = std::move(queue.messages.front());
            queue.messages.pop_front();
            queue.changedLocked();
            const DWORD copied = std::min(static_cast<DWORD>(message.bytes.size()), size);
            std::memcpy(buffer, message.bytes.data(), copied);
            *bytesRead = copied;
            if (flags != nullptr) *flags = message.flags;
            // The message is consumed all the same: the rest of it is lost.
            if (copied < message.bytes.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
            return TRUE;
        }
        if (!queue.hasEnd(false) && !queue.allowBroken()) return fail(ERROR_PIPE_NOT_CONNECTED);
        if (!awaitChange(queue, deadline)) return fail(ERROR_TIMEOUT);
    }
}

BOOL write(End& end, const void* data, DWORD size, DWORD timeoutMs, DWORD flags) {
    if (end.readAccess) return fail(ERROR_ACCESS_DENIED);
    if (data == nullptr && size != 0) return fail(ERROR_INVALID_PARAMETER);
    const Deadline deadline(timeoutMs);
    Guard guard(table().lock);
    Queue& queue = *end.queue;
    for (;;) {
        if (end.closed) return fail(ERROR_INVALID_HANDLE);
        if (size > queue.maxMessageSize) return fail(ERROR_INSUFFICIENT_BUFFER);
        if (!queue.hasEnd(true) && !queue.allowBroken()) return fail(ERROR_PIPE_NOT_CONNECTED);
        if (!queue.full()) {
            const auto* bytes = static_cast<const BYTE*>(data);
            queue.messages.push_back({std::vector<BYTE>(bytes, bytes + size), flags});
            queue.changedLocked();
            return TRUE;
        }
        if (!awaitChange(queue, deadline)) return fail(ERROR_TIMEOUT);
    }
}

}  // namespace
}  // namespace coredll

using coredll::Guard;
using coredll::table;

HANDLE WINAPI CreateMsgQueue(LPCWSTR lpszName, LPMSGQUEUEOPTIONS lpOptions) {
    if (lpOptions == nullptr || lpOptions->dwSize < sizeof(MSGQUEUEOPTIONS) ||
        lpOptions->cbMaxMessage == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE event = coredll::newEndEvent();
    if (event == nullptr) return nullptr;
    Guard guard(table().lock);
    std::shared_ptr<coredll::Queue> queue;
    bool existed = false;
    if (lpszName != nullptr) {
        // A named queue is shared by every CreateMsgQueue of that name while one end lives.
        std::shared_ptr<coredll::Queue>& slot = table().named[lpszName];
        existed = slot != nullptr;
        if (!existed) {
            slot = std::make_shared<coredll::Queue>();
            slot->name = lpszName;
        }
        queue = slot;
    } else {
        queue = std::make_shared<coredll::Queue>();
    }
    // The options of the first end hold for the queue's life.
    if (!existed) {
        queue->flags = lpOptions->dwFlags;
        queue->maxMessages = lpOptions->dwMaxMessages;
        queue->maxMessageSize = lpOptions->cbMaxMessage;
    }
    coredll::addEndLocked(queue, lpOptions->bReadAccess != FALSE, event);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return event;
}

// Opens another end on the queue of hMsgQ. Queues live in one process here, so the source
// process is not looked at.
HANDLE WINAPI OpenMsgQueue(HANDLE, HANDLE hMsgQ, LPMSGQUEUEOPTIONS lpOptions) {
    if (lpOptions == nullptr || lpOptions->dwSize < sizeof(MSGQUEUEOPTIONS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE event = coredll::newEndEvent();
    if (event == nullptr) return nullptr;
    Guard guard(table().lock);
    const std::shared_ptr<coredll::End> existing = coredll::findLocked(hMsgQ);
    if (existing == nullptr) {
        CloseHandle(event);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    coredll::addEndLocked(existing->queue, lpOptions->bReadAccess != FALSE, event);
    return event;
}

BOOL WINAPI ReadMsgQueue(HANDLE hMsgQ, LPVOID lpBuffer, DWORD cbBufferSize,
                         LPDWORD lpNumberOfBytesRead, DWORD dwTimeout, DWORD* pdwFlags) {
    const std::shared_ptr<coredll::End> end = coredll::find(hMsgQ);
    if (end == nullptr) return coredll::fail(ERROR_INVALID_HANDLE);
    return coredll::read(*end, lpBuffer, cbBufferSize, lpNumberOfBytesRead, dwTimeout, pdwFlags);
}

BOOL WINAPI WriteMsgQueue(HANDLE hMsgQ, LPVOID lpBuffer, DWORD cbDataSize, DWORD dwTimeout,
                          DWORD dwFlags) {
    const std::shared_ptr<coredll::End> end = coredll::find(hMsgQ);
    if (end == nullptr) return coredll::fail(ERROR_INVALID_HANDLE);
    return coredll::write(*end, lpBuffer, cbDataSize, dwTimeout, dwFlags);
}

// The end leaves its queue at once: a call blocked on it returns ERROR_INVALID_HANDLE, and one
// blocked on the other side ERROR_PIPE_NOT_CONNECTED when this was its last partner.
BOOL WINAPI CloseMsgQueue(HANDLE hMsgQ) {
    std::shared_ptr<coredll::End> end;
    {
        Guard guard(table().lock);
        end = coredll::findLocked(hMsgQ);
        if (end == nullptr) return coredll::fail(ERROR_INVALID_HANDLE);
        table().ends.erase(hMsgQ);
        end->closed = true;
        coredll::Queue& queue = *end->queue;
        queue.ends.erase(std::find(queue.ends.begin(), queue.ends.end(), end.get()));
        if (queue.ends.empty() && !queue.name.empty()) table().named.erase(queue.name);
        queue.changedLocked();
    }
    CloseHandle(end->event);
    return TRUE;
}

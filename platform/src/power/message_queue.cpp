#include "power/message_queue.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <string>

#include "text/text.h"

namespace ce::power {

struct Message {
    std::vector<BYTE> bytes;
    DWORD flags;
};

// All fields are guarded by kernel::waitLock(), like every waitable state.
struct QueueState {
    DWORD flags = 0;
    DWORD maxMessages = 0;  // 0: no limit
    DWORD maxMessageSize = 0;
    std::deque<Message> messages;
    std::vector<QueueEnd*> readers;
    std::vector<QueueEnd*> writers;
    // False from a write until a read finds the queue empty; drainedChanged wakes the threads
    // in waitUntilDrained.
    bool drained = true;
    std::condition_variable drainedChanged;

    bool full() const { return maxMessages != 0 && messages.size() >= maxMessages; }
    bool allowBroken() const { return (flags & MSGQUEUE_ALLOW_BROKEN) != 0; }

    void notify(const std::vector<QueueEnd*>& ends) {
        for (QueueEnd* end : ends) end->notifyWaitersLocked();
    }
};

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, for another wait.
DWORD remaining(DWORD timeoutMs, Clock::time_point deadline) {
    if (timeoutMs == INFINITE) return INFINITE;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

struct NamedQueues {
    std::map<std::u16string, std::weak_ptr<QueueState>> byName;  // keys case-folded
};

NamedQueues& namedQueues() {
    static auto* instance = new NamedQueues;
    return *instance;
}

std::u16string foldName(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded) c = text::foldCase(c);
    return folded;
}

}  // namespace

QueueEnd::QueueEnd(std::shared_ptr<QueueState> queue, bool readAccess)
    : queue_(std::move(queue)), readAccess_(readAccess) {
    std::lock_guard guard(kernel::waitLock());
    (readAccess_ ? queue_->readers : queue_->writers).push_back(this);
}

QueueEnd::~QueueEnd() {
    std::lock_guard guard(kernel::waitLock());
    leaveQueueLocked();
}

void QueueEnd::leaveQueueLocked() {
    auto& ends = readAccess_ ? queue_->readers : queue_->writers;
    const auto it = std::find(ends.begin(), ends.end(), this);
    if (it == ends.end()) return;
    ends.erase(it);
    // The other side may be waiting for a partner that is now gone.
    queue_->notify(readAccess_ ? queue_->writers : queue_->readers);
    if (readAccess_) queue_->drainedChanged.notify_all();
}

void QueueEnd::onHandleClosed() {
    std::lock_guard guard(kernel::waitLock());
    closed_ = true;
    leaveQueueLocked();
    notifyWaitersLocked();
}

bool QueueEnd::isSignalledLocked() const {
    return readAccess_ ? !queue_->messages.empty() : !queue_->full();
}

// Both calls wait for any change of the queue, not only for this end's signalled state: a call
// also ends when its handle is closed or the other side's last end goes.
BOOL QueueEnd::read(void* buffer, DWORD size, DWORD* bytesRead, DWORD timeoutMs, DWORD* flags) {
    if (!readAccess_ || buffer == nullptr || bytesRead == nullptr) {
        SetLastError(readAccess_ ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock guard(kernel::waitLock());
    QueueState& q = *queue_;
    for (;;) {
        if (closed_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (!q.messages.empty()) {
            Message message = std::move(q.messages.front());
            q.messages.pop_front();
            q.notify(q.writers);
            const auto copied = std::min<std::size_t>(message.bytes.size(), size);
            std::memcpy(buffer, message.bytes.data(), copied);
            *bytesRead = static_cast<DWORD>(copied);
            if (flags) *flags = message.flags;
            if (copied < message.bytes.size()) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            return TRUE;
        }
        if (!q.drained) {
            q.drained = true;
            q.drainedChanged.notify_all();
        }
        if (q.writers.empty() && !q.allowBroken()) {
            SetLastError(ERROR_PIPE_NOT_CONNECTED);
            return FALSE;
        }
        if (!waitForNotificationLocked(guard, remaining(timeoutMs, deadline))) {
            SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
    }
}

BOOL QueueEnd::write(const void* data, DWORD size, DWORD timeoutMs, DWORD flags) {
    if (readAccess_ || (data == nullptr && size != 0)) {
        SetLastError(readAccess_ ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock guard(kernel::waitLock());
    QueueState& q = *queue_;
    for (;;) {
        if (closed_) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (size > q.maxMessageSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        if (q.readers.empty() && !q.allowBroken()) {
            SetLastError(ERROR_PIPE_NOT_CONNECTED);
            return FALSE;
        }
        if (!q.full()) {
            const auto* bytes = static_cast<const BYTE*>(data);
            q.messages.push_back({std::vector<BYTE>(bytes, bytes + size), flags});
            q.drained = false;
            q.notify(q.readers);
            return TRUE;
        }
        if (!waitForNotificationLocked(guard, remaining(timeoutMs, deadline))) {
            SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
    }
}

std::shared_ptr<QueueEnd> openEnd(const QueueEnd& existing, bool readAccess) {
    return std::make_shared<QueueEnd>(existing.queue(), readAccess);
}

bool waitUntilDrained(const QueueEnd& end, Clock::time_point deadline) {
    std::unique_lock lock(kernel::waitLock());
    QueueState& q = *end.queue();
    return q.drainedChanged.wait_until(lock, deadline,
                                       [&] { return q.drained || q.readers.empty(); });
}

}  // namespace ce::power

extern "C" HANDLE WINAPI CreateMsgQueue(LPCWSTR lpszName, LPMSGQUEUEOPTIONS lpOptions) {
    using namespace ce::power;
    if (lpOptions == nullptr || lpOptions->dwSize < sizeof(MSGQUEUEOPTIONS) ||
        lpOptions->cbMaxMessage == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<QueueState> queue;
    bool existed = false;
    if (lpszName != nullptr) {
        // A named queue is shared by every CreateMsgQueue with that name while one end lives.
        std::lock_guard guard(ce::kernel::waitLock());
        auto& slot = namedQueues().byName[foldName(ce::text::wideView(lpszName))];
        queue = slot.lock();
        existed = queue != nullptr;
        if (!queue) slot = queue = std::make_shared<QueueState>();
    } else {
        queue = std::make_shared<QueueState>();
    }
    {
        std::lock_guard guard(ce::kernel::waitLock());
        if (queue->readers.empty() && queue->writers.empty()) {
            queue->flags = lpOptions->dwFlags;
            queue->maxMessages = lpOptions->dwMaxMessages;
            queue->maxMessageSize = lpOptions->cbMaxMessage;
        }
    }
    HANDLE end = ce::kernel::insertHandle(
        std::make_shared<QueueEnd>(std::move(queue), lpOptions->bReadAccess != FALSE));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return end;
}

extern "C" HANDLE WINAPI OpenMsgQueue(HANDLE, HANDLE hMsgQ, LPMSGQUEUEOPTIONS lpOptions) {
    auto end = ce::kernel::lookupHandleAs<ce::power::QueueEnd>(hMsgQ);
    if (!end || lpOptions == nullptr || lpOptions->dwSize < sizeof(MSGQUEUEOPTIONS)) {
        SetLastError(end ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return ce::kernel::insertHandle(ce::power::openEnd(*end, lpOptions->bReadAccess != FALSE));
}

extern "C" BOOL WINAPI ReadMsgQueue(HANDLE hMsgQ, LPVOID lpBuffer, DWORD cbBufferSize,
                                    LPDWORD lpNumberOfBytesRead, DWORD dwTimeout, DWORD* pdwFlags) {
    auto end = ce::kernel::lookupHandleAs<ce::power::QueueEnd>(hMsgQ);
    if (!end) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return end->read(lpBuffer, cbBufferSize, lpNumberOfBytesRead, dwTimeout, pdwFlags);
}

extern "C" BOOL WINAPI WriteMsgQueue(HANDLE hMsgQ, LPVOID lpBuffer, DWORD cbDataSize,
                                     DWORD dwTimeout, DWORD dwFlags) {
    auto end = ce::kernel::lookupHandleAs<ce::power::QueueEnd>(hMsgQ);
    if (!end) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return end->write(lpBuffer, cbDataSize, dwTimeout, dwFlags);
}

extern "C" BOOL WINAPI GetMsgQueueInfo(HANDLE hMsgQ, LPMSGQUEUEINFO lpInfo) {
    auto end = ce::kernel::lookupHandleAs<ce::power::QueueEnd>(hMsgQ);
    if (!end || lpInfo == nullptr || lpInfo->dwSize < sizeof(MSGQUEUEINFO)) {
        SetLastError(end ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard guard(ce::kernel::waitLock());
    const ce::power::QueueState& q = *end->queue();
    lpInfo->dwFlags = q.flags;
    lpInfo->dwMaxMessages = q.maxMessages;
    lpInfo->cbMaxMessage = q.maxMessageSize;
    lpInfo->dwCurrentMessages = static_cast<DWORD>(q.messages.size());
    lpInfo->dwMaxQueueMessages = q.maxMessages;
    lpInfo->wNumReaders = static_cast<WORD>(q.readers.size());
    lpInfo->wNumWriters = static_cast<WORD>(q.writers.size());
    return TRUE;
}

extern "C" BOOL WINAPI CloseMsgQueue(HANDLE hMsgQ) {
    if (!ce::kernel::lookupHandleAs<ce::power::QueueEnd>(hMsgQ)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(hMsgQ);
}

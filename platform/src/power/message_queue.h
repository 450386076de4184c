// Point-to-point message queues: one queue, any number of read and write ends. Each end is a
// handle; a read end is signalled while a message is queued, a write end while there is room.
// An end leaves its queue when its handle is closed: a call blocked on it returns at once, and
// so does one blocked on the other side when that was its last partner.
#pragma once

#include <msgqueue.h>

#include <chrono>
#include <deque>
#include <memory>
#include <vector>

#include "kernel/object.h"

namespace ce::power {

struct QueueState;

class QueueEnd final : public kernel::Waitable {
public:
    QueueEnd(std::shared_ptr<QueueState> queue, bool readAccess);
    ~QueueEnd() override;

    bool isSignalledLocked() const override;
    void onHandleClosed() override;

    // Both return TRUE or FALSE with the last error set, as ReadMsgQueue and WriteMsgQueue.
    BOOL read(void* buffer, DWORD size, DWORD* bytesRead, DWORD timeoutMs, DWORD* flags);
    BOOL write(const void* data, DWORD size, DWORD timeoutMs, DWORD flags);

    bool readAccess() const { return readAccess_; }
    const std::shared_ptr<QueueState>& queue() const { return queue_; }

private:
    // Takes this end off its queue's list (once) and wakes the other side.
    void leaveQueueLocked();

    const std::shared_ptr<QueueState> queue_;
    const bool readAccess_;
    bool closed_ = false;  // guarded by kernel::waitLock()
};

// Opens another end on the queue behind an existing end.
std::shared_ptr<QueueEnd> openEnd(const QueueEnd& existing, bool readAccess);

// Waits until every message written to the queue has been read and a reader has come back and
// found it empty (or no reader is left): a reader that drains its queue in a loop has then
// handled what it read. False when the deadline passes first.
bool waitUntilDrained(const QueueEnd& end, std::chrono::steady_clock::time_point deadline);

}  // namespace ce::power

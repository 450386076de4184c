// Point-to-point message queues: one queue, any number of read and write ends. Each end is a
// handle; a read end is signalled while a message is queued, a write end while there is room.
#pragma once

#include <msgqueue.h>

#include <chrono>
#include <deque>
#include <memory>
#include <vector>

#include "kernel/object.h"

namespace ce::power {

struct QueueState;

class QueueEnd final : public kernel::Waitable, public std::enable_shared_from_this<QueueEnd> {
  public:
    QueueEnd(std::shared_ptr<QueueState> queue, bool readAccess);
    ~QueueEnd() override;

    bool isSignalledLocked() const override;

    // Both return TRUE or FALSE with the last error set, as ReadMsgQueue and WriteMsgQueue.
    BOOL read(void* buffer, DWORD size, DWORD* bytesRead, DWORD timeoutMs, DWORD* flags);
    BOOL write(const void* data, DWORD size, DWORD timeoutMs, DWORD flags);

    bool readAccess() const { return readAccess_; }
    const std::shared_ptr<QueueState>& queue() const { return queue_; }

  private:
    const std::shared_ptr<QueueState> queue_;
    const bool readAccess_;
};

// Opens another end on the queue behind an existing end.
std::shared_ptr<QueueEnd> openEnd(const QueueEnd& existing, bool readAccess);

// Waits until every message written to the queue has been read and a reader has come back and
// found it empty (or no reader is left): a reader that drains its queue in a loop has then
// handled what it read. False when the deadline passes first.
bool waitUntilDrained(const QueueEnd& end, std::chrono::steady_clock::time_point deadline);

}  // namespace ce::power

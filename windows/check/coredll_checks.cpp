// coredll.dll's message queues and power broadcast, called directly, before kest.dll is loaded
// (so no other queue is registered for power notifications).
#include <msgqueue.h>
#include <pm.h>

#include <cstring>
#include <string>

#include "checks.h"
#include "host_power.h"
#include "worker.h"

namespace wine_check {
namespace {

constexpr DWORD kBlockedReadTimeout = 10000;

// A read of the queue; `bytes` holds what was read and `error` the last error of a failure.
struct ReadResult {
    BOOL ok;
    DWORD error;
    std::string bytes;
    DWORD flags;
};

ReadResult readQueue(HANDLE reader, DWORD capacity, DWORD timeoutMs) {
    char buffer[64] = {};
    DWORD read = 0;
    DWORD flags = 0;
    const BOOL ok = ReadMsgQueue(reader, buffer, capacity, &read, timeoutMs, &flags);
    return {ok, ok ? 0 : GetLastError(), std::string(buffer, read), flags};
}

BOOL writeQueue(HANDLE writer, const std::string& bytes, DWORD flags = 0) {
    return WriteMsgQueue(writer, const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()),
                         0, flags);
}

bool signalled(HANDLE handle) {
    return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

// A queue of at most two messages of at most eight bytes, with a reader and a writer.
std::string queueBehaviour(HANDLE reader, HANDLE writer) {
    if (signalled(reader)) return "the read end of an empty queue is signalled";
    ReadResult r = readQueue(reader, 8, 0);
    if (r.ok || r.error != ERROR_TIMEOUT) return "reading an empty queue did not time out";

    if (!writeQueue(writer, "first", MSGQUEUE_MSGALERT) || !writeQueue(writer, "second")) {
        return "WriteMsgQueue failed on a queue with room";
    }
    HANDLE neverSet = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE both[] = {neverSet, reader};
    const DWORD woken = WaitForMultipleObjects(2, both, FALSE, 0);
    CloseHandle(neverSet);
    if (woken != WAIT_OBJECT_0 + 1) {
        return "WaitForMultipleObjects did not find the read end signalled with messages queued";
    }
    if (signalled(writer)) return "the write end of a full queue is signalled";
    if (writeQueue(writer, "third") || GetLastError() != ERROR_TIMEOUT) {
        return "a write into a full queue did not time out";
    }
    if (writeQueue(writer, "too long!") || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return "a message over the maximum size was not refused";
    }

    r = readQueue(reader, 2, 0);
    if (r.ok || r.error != ERROR_INSUFFICIENT_BUFFER || r.bytes != "fi" ||
        r.flags != MSGQUEUE_MSGALERT) {
        return "a read into a short buffer did not give the message's start, its flags and "
               "ERROR_INSUFFICIENT_BUFFER";
    }
    r = readQueue(reader, 8, 0);
    if (!r.ok || r.bytes != "second" || r.flags != 0) {
        return "the short read did not consume its message: next read gave '" + r.bytes + "'";
    }
    if (signalled(reader)) return "the read end stays signalled after the queue was read empty";

    // A blocked read wakes for a write, and for the last writer's close, long before its
    // time-out.
    const Worker late([&] {
        Sleep(100);
        writeQueue(writer, "late");
    });
    ULONGLONG start = GetTickCount64();
    r = readQueue(reader, 8, kBlockedReadTimeout);
    if (!r.ok || r.bytes != "late" || GetTickCount64() - start >= kBlockedReadTimeout / 2) {
        return "a waiting read was not woken by a later write";
    }
    const Worker closer([&] {
        Sleep(100);
        CloseMsgQueue(writer);
    });
    start = GetTickCount64();
    r = readQueue(reader, 8, kBlockedReadTimeout);
    if (r.ok || r.error != ERROR_PIPE_NOT_CONNECTED ||
        GetTickCount64() - start >= kBlockedReadTimeout / 2) {
        return "a waiting read was not ended with ERROR_PIPE_NOT_CONNECTED by its writer's close";
    }
    return {};
}

}  // namespace

std::string checkMessageQueues() {
    MSGQUEUEOPTIONS options{sizeof options, 0, 2, 8, TRUE};
    HANDLE reader = CreateMsgQueue(L"wine check queue", &options);
    options.bReadAccess = FALSE;
    HANDLE writer = CreateMsgQueue(L"WINE CHECK QUEUE", &options);
    const DWORD created = GetLastError();
    if (reader == nullptr || writer == nullptr) return "CreateMsgQueue failed";
    std::string why = created == ERROR_ALREADY_EXISTS
                          ? queueBehaviour(reader, writer)
                          : "a name that differs only in case made a second queue";
    CloseMsgQueue(reader);
    CloseMsgQueue(writer);  // the queue behaviour may have closed it already
    return why;
}

std::string checkPowerBroadcast() {
    MSGQUEUEOPTIONS options{sizeof options, MSGQUEUE_NOPRECOMMIT, 1, 64, TRUE};
    HANDLE queue = CreateMsgQueue(nullptr, &options);
    HANDLE registration = RequestPowerNotifications(queue, PBT_TRANSITION | PBT_RESUME);
    if (queue == nullptr || registration == nullptr) return "no queue registered";

    std::string why;
    const WCHAR name[] = L"suspend";
    BYTE record[64] = {};
    DWORD length = 0;
    DWORD flags = 0;
    if (HostBroadcastPowerNotification(PBT_POWERINFOCHANGE, 0, nullptr, 0) != 0) {
        why = "a record of a Message the queue did not ask for was delivered";
    } else if (HostBroadcastPowerNotification(PBT_TRANSITION, POWER_STATE_SUSPEND, name,
                                              sizeof name) != 1) {
        why = "the registered queue did not receive the record";
    } else if (HostBroadcastPowerNotification(PBT_RESUME, 0, nullptr, 0) != 0) {
        why = "a full queue took another record";
    } else if (!signalled(queue)) {
        why = "the read end is not signalled with a record queued";
    } else if (!ReadMsgQueue(queue, record, sizeof record, &length, 0, &flags)) {
        why = "the record could not be read";
    } else {
        const POWER_BROADCAST* broadcast = reinterpret_cast<const POWER_BROADCAST*>(record);
        const DWORD header = offsetof(POWER_BROADCAST, SystemPowerState);
        if (length != header + sizeof name || broadcast->Message != PBT_TRANSITION ||
            broadcast->Flags != POWER_STATE_SUSPEND || broadcast->Length != sizeof name ||
            std::memcmp(record + header, name, sizeof name) != 0) {
            why = "the record read is not Message, Flags, Length and the state's name";
        }
    }
    if (why.empty()) {
        if (StopPowerNotifications(registration) != ERROR_SUCCESS) {
            why = "StopPowerNotifications failed";
        } else if (HostBroadcastPowerNotification(PBT_RESUME, 0, nullptr, 0) != 0) {
            why = "a record was delivered after StopPowerNotifications";
        } else if (StopPowerNotifications(registration) != ERROR_INVALID_HANDLE) {
            why = "a second StopPowerNotifications of the same handle did not fail";
        }
    } else {
        StopPowerNotifications(registration);
    }
    CloseMsgQueue(queue);
    return why;
}

}  // namespace wine_check

#include <gtest/gtest.h>
#include <host/handles.h>
#include <msgqueue.h>

#include <cstring>
#include <future>
#include <thread>
#include <utility>

namespace {

MSGQUEUEOPTIONS options(bool read, DWORD maxMessages = 4, DWORD maxSize = 16,
                        DWORD flags = MSGQUEUE_NOPRECOMMIT) {
    MSGQUEUEOPTIONS o{};
    o.dwSize = sizeof o;
    o.dwFlags = flags;
    o.dwMaxMessages = maxMessages;
    o.cbMaxMessage = maxSize;
    o.bReadAccess = read ? TRUE : FALSE;
    return o;
}

// A read end and a write end on one unnamed queue.
struct QueuePair {
    explicit QueuePair(DWORD maxMessages = 4, DWORD maxSize = 16, DWORD flags = MSGQUEUE_NOPRECOMMIT) {
        MSGQUEUEOPTIONS r = options(true, maxMessages, maxSize, flags);
        reader = CreateMsgQueue(nullptr, &r);
        MSGQUEUEOPTIONS w = options(false, maxMessages, maxSize, flags);
        writer = OpenMsgQueue(nullptr, reader, &w);
    }
    ~QueuePair() {
        if (writer) CloseMsgQueue(writer);
        if (reader) CloseMsgQueue(reader);
    }
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
};

TEST(MessageQueue, MessagesKeepTheirBoundariesAndOrder) {
    QueuePair q;
    char first[] = "one";
    char second[] = "second";
    ASSERT_TRUE(WriteMsgQueue(q.writer, first, 3, 0, 0));
    ASSERT_TRUE(WriteMsgQueue(q.writer, second, 6, 0, MSGQUEUE_MSGALERT));
    char buffer[16];
    DWORD read = 0, flags = 0;
    ASSERT_TRUE(ReadMsgQueue(q.reader, buffer, sizeof buffer, &read, 0, &flags));
    EXPECT_EQ(std::string(buffer, read), "one");
    EXPECT_EQ(flags, 0u);
    ASSERT_TRUE(ReadMsgQueue(q.reader, buffer, sizeof buffer, &read, 0, &flags));
    EXPECT_EQ(std::string(buffer, read), "second");
    EXPECT_EQ(flags, static_cast<DWORD>(MSGQUEUE_MSGALERT));
}

TEST(MessageQueue, ReadEndIsSignalledWhileAMessageIsQueued) {
    QueuePair q;
    EXPECT_EQ(WaitForSingleObject(q.reader, 0), WAIT_TIMEOUT);
    char data[] = "x";
    WriteMsgQueue(q.writer, data, 1, 0, 0);
    EXPECT_EQ(WaitForSingleObject(q.reader, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(q.reader, 0), WAIT_OBJECT_0) << "waiting consumes nothing";
    char buffer[4];
    DWORD read = 0, flags = 0;
    ReadMsgQueue(q.reader, buffer, sizeof buffer, &read, 0, &flags);
    EXPECT_EQ(WaitForSingleObject(q.reader, 0), WAIT_TIMEOUT);
}

TEST(MessageQueue, EmptyReadTimesOut) {
    QueuePair q;
    char buffer[4];
    DWORD read = 0, flags = 0;
    EXPECT_FALSE(ReadMsgQueue(q.reader, buffer, sizeof buffer, &read, 0, &flags));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_FALSE(ReadMsgQueue(q.reader, buffer, sizeof buffer, &read, 20, &flags));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
}

TEST(MessageQueue, BlockedReadWakesOnWrite) {
    QueuePair q;
    std::thread writer([&] {
        while (host::waiterCount(q.reader) == 0) std::this_thread::yield();
        char data[] = "late";
        WriteMsgQueue(q.writer, data, 4, 0, 0);
    });
    char buffer[8];
    DWORD read = 0, flags = 0;
    EXPECT_TRUE(ReadMsgQueue(q.reader, buffer, sizeof buffer, &read, INFINITE, &flags));
    EXPECT_EQ(read, 4u);
    writer.join();
}

// Blocks a read of an empty queue (or a write to a full one) on a thread of its own, closes the
// end toClose once the call waits and returns the call's error; a call never woken is left
// behind and reported as WAIT_TIMEOUT rather than hanging the test.
DWORD errorAfterClosing(bool blockWriter, HANDLE QueuePair::*toClose) {
    QueuePair q(1);
    HANDLE blocked = blockWriter ? q.writer : q.reader;
    std::promise<DWORD> result;
    auto error = result.get_future();
    std::thread([blocked, blockWriter, r = std::move(result)]() mutable {
        char data[16] = {};
        DWORD done = 0, flags = 0;
        const BOOL ok = blockWriter ? WriteMsgQueue(blocked, data, 1, 0, 0) &&
                                          WriteMsgQueue(blocked, data, 1, INFINITE, 0)
                                    : ReadMsgQueue(blocked, data, 16, &done, INFINITE, &flags);
        r.set_value(ok ? ERROR_SUCCESS : GetLastError());
    }).detach();
    while (host::waiterCount(blocked) == 0) std::this_thread::yield();
    CloseMsgQueue(std::exchange(q.*toClose, nullptr));
    const bool woken = error.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    return woken ? error.get() : WAIT_TIMEOUT;
}

TEST(MessageQueue, BlockedCallsWakeWhenThePartnerGoesOrTheirOwnHandleCloses) {
    EXPECT_EQ(errorAfterClosing(false, &QueuePair::writer), DWORD{ERROR_PIPE_NOT_CONNECTED});
    EXPECT_EQ(errorAfterClosing(false, &QueuePair::reader), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(errorAfterClosing(true, &QueuePair::reader), DWORD{ERROR_PIPE_NOT_CONNECTED});
    EXPECT_EQ(errorAfterClosing(true, &QueuePair::writer), DWORD{ERROR_INVALID_HANDLE});
}

TEST(MessageQueue, ShortBufferConsumesAndTruncates) {
    QueuePair q;
    char data[] = "abcdef";
    WriteMsgQueue(q.writer, data, 6, 0, 0);
    char buffer[4] = {};
    DWORD read = 0, flags = 0;
    EXPECT_FALSE(ReadMsgQueue(q.reader, buffer, 4, &read, 0, &flags));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(std::memcmp(buffer, "abcd", 4), 0);
    EXPECT_EQ(WaitForSingleObject(q.reader, 0), WAIT_TIMEOUT) << "the message is gone";
}

TEST(MessageQueue, FullQueueAndOversizedMessages) {
    QueuePair q(2, 8);
    char data[16] = {};
    EXPECT_TRUE(WriteMsgQueue(q.writer, data, 8, 0, 0));
    EXPECT_FALSE(WriteMsgQueue(q.writer, data, 9, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(WriteMsgQueue(q.writer, data, 1, 0, 0));
    EXPECT_FALSE(WriteMsgQueue(q.writer, data, 1, 10, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    MSGQUEUEINFO info{};
    info.dwSize = sizeof info;
    ASSERT_TRUE(GetMsgQueueInfo(q.reader, &info));
    EXPECT_EQ(info.dwCurrentMessages, 2u);
    EXPECT_EQ(info.wNumReaders, 1);
    EXPECT_EQ(info.wNumWriters, 1);
}

TEST(MessageQueue, NoWriterMeansNotConnectedUnlessBrokenIsAllowed) {
    QueuePair strict;
    CloseMsgQueue(strict.writer);
    strict.writer = nullptr;
    char buffer[4];
    DWORD read = 0, flags = 0;
    EXPECT_FALSE(ReadMsgQueue(strict.reader, buffer, sizeof buffer, &read, 0, &flags));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_NOT_CONNECTED));

    QueuePair lenient(4, 16, MSGQUEUE_ALLOW_BROKEN);
    CloseMsgQueue(lenient.writer);
    lenient.writer = nullptr;
    EXPECT_FALSE(ReadMsgQueue(lenient.reader, buffer, sizeof buffer, &read, 0, &flags));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
}

TEST(MessageQueue, WrongEndAndBadHandles) {
    QueuePair q;
    char data[] = "x";
    DWORD read = 0, flags = 0;
    EXPECT_FALSE(WriteMsgQueue(q.reader, data, 1, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ReadMsgQueue(q.writer, data, 1, &read, 0, &flags));
    EXPECT_FALSE(ReadMsgQueue(nullptr, data, 1, &read, 0, &flags));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    MSGQUEUEOPTIONS bad = options(true);
    bad.dwSize = 8;
    EXPECT_EQ(CreateMsgQueue(nullptr, &bad), nullptr);
}

TEST(MessageQueue, NamedQueuesShareMessages) {
    MSGQUEUEOPTIONS r = options(true);
    MSGQUEUEOPTIONS w = options(false);
    HANDLE reader = CreateMsgQueue(u"PowerEvents", &r);
    HANDLE writer = CreateMsgQueue(u"powerevents", &w);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    char data[] = "hi";
    EXPECT_TRUE(WriteMsgQueue(writer, data, 2, 0, 0));
    char buffer[4];
    DWORD read = 0, flags = 0;
    EXPECT_TRUE(ReadMsgQueue(reader, buffer, sizeof buffer, &read, 0, &flags));
    EXPECT_EQ(read, 2u);
    CloseMsgQueue(writer);
    CloseMsgQueue(reader);
}

TEST(MessageQueue, EndsAreCountedHandles) {
    const std::size_t before = host::liveHandleCount();
    { QueuePair q; EXPECT_EQ(host::liveHandleCount(), before + 2); }
    EXPECT_EQ(host::liveHandleCount(), before);
}

}  // namespace

#include <gtest/gtest.h>
#include <host/handles.h>
#include <host/power.h>
#include <msgqueue.h>
#include <pm.h>

#include <cstring>

namespace {

// A queue registered for power notifications, as a library registers one.
struct Listener {
    explicit Listener(DWORD mask = POWER_NOTIFY_ALL) {
        MSGQUEUEOPTIONS o{};
        o.dwSize = sizeof o;
        o.dwFlags = MSGQUEUE_NOPRECOMMIT;
        o.dwMaxMessages = 32;
        o.cbMaxMessage = 512;
        o.bReadAccess = TRUE;
        queue = CreateMsgQueue(nullptr, &o);
        registration = RequestPowerNotifications(queue, mask);
    }
    ~Listener() {
        if (registration) StopPowerNotifications(registration);
        CloseMsgQueue(queue);
    }
    std::vector<BYTE> next() {
        std::vector<BYTE> buffer(536);
        DWORD read = 0, flags = 0;
        if (!ReadMsgQueue(queue, buffer.data(), static_cast<DWORD>(buffer.size()), &read, 0, &flags))
            return {};
        buffer.resize(read);
        return buffer;
    }
    HANDLE queue;
    HANDLE registration;
};

DWORD wordAt(const std::vector<BYTE>& record, std::size_t offset) {
    DWORD value;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

TEST(PowerNotifications, BroadcastReachesEveryRegisteredQueueInOrder) {
    Listener a, b;
    ASSERT_NE(a.registration, nullptr);
    const auto suspend = host::power::makeRecord(PBT_TRANSITION, POWER_STATE_SUSPEND);
    const auto resume = host::power::makeRecord(PBT_RESUME, 0);
    EXPECT_EQ(host::power::broadcast(suspend.data(), suspend.size()), 2u);
    EXPECT_EQ(host::power::broadcast(resume.data(), resume.size()), 2u);
    for (Listener* l : {&a, &b}) {
        auto first = l->next();
        ASSERT_EQ(first.size(), 12u);
        EXPECT_EQ(wordAt(first, 0), static_cast<DWORD>(PBT_TRANSITION));
        EXPECT_EQ(wordAt(first, 4), static_cast<DWORD>(POWER_STATE_SUSPEND));
        EXPECT_EQ(wordAt(l->next(), 0), static_cast<DWORD>(PBT_RESUME));
        EXPECT_TRUE(l->next().empty());
    }
}

// A record counts as read once its reader has taken it and come back to find no more: a reader
// that handles records as it drains its queue has then handled it.
TEST(PowerNotifications, WaitUntilReadWaitsForTheReaderToComeBack) {
    Listener a;
    EXPECT_TRUE(host::power::waitUntilRead(0));
    const auto resume = host::power::makeRecord(PBT_RESUME, 0);
    ASSERT_EQ(host::power::broadcast(resume.data(), resume.size()), 1u);
    EXPECT_FALSE(host::power::waitUntilRead(20));
    EXPECT_FALSE(a.next().empty());
    EXPECT_FALSE(host::power::waitUntilRead(20));  // taken, but the reader has not come back
    EXPECT_TRUE(a.next().empty());
    EXPECT_TRUE(host::power::waitUntilRead(0));
}

TEST(PowerNotifications, PowerInfoRecordHasThePlatformLayout) {
    Listener l;
    POWER_BROADCAST_POWER_INFO info{};
    info.bACLineStatus = AC_LINE_ONLINE;
    info.bBatteryFlag = BATTERY_FLAG_HIGH;
    info.bBackupBatteryFlag = BATTERY_FLAG_CHARGING;
    const auto record = host::power::makePowerInfoRecord(info);
    host::power::broadcast(record.data(), record.size());
    const auto received = l.next();
    ASSERT_GE(received.size(), 36u);
    EXPECT_EQ(wordAt(received, 0), static_cast<DWORD>(PBT_POWERINFOCHANGE));
    EXPECT_EQ(wordAt(received, 8), static_cast<DWORD>(sizeof info));
    EXPECT_EQ(received[32], AC_LINE_ONLINE);
    EXPECT_EQ(received[33], BATTERY_FLAG_HIGH);
    EXPECT_EQ(received[35], BATTERY_FLAG_CHARGING);
}

TEST(PowerNotifications, MaskSelectsMessagesAndStopEndsDelivery) {
    Listener onlyResume(PBT_RESUME);
    const auto transition = host::power::makeRecord(PBT_TRANSITION, 0);
    EXPECT_EQ(host::power::broadcast(transition.data(), transition.size()), 0u);
    EXPECT_EQ(StopPowerNotifications(onlyResume.registration), static_cast<DWORD>(ERROR_SUCCESS));
    onlyResume.registration = nullptr;
    const auto resume = host::power::makeRecord(PBT_RESUME, 0);
    EXPECT_EQ(host::power::broadcast(resume.data(), resume.size()), 0u);
    EXPECT_TRUE(onlyResume.next().empty());
}

TEST(PowerNotifications, RegistrationIsAHandleAndLeavesNothingBehind) {
    const std::size_t handles = host::liveHandleCount();
    const std::size_t registrations = host::power::registrationCount();
    {
        Listener l;
        EXPECT_EQ(host::liveHandleCount(), handles + 2);
        EXPECT_EQ(host::power::registrationCount(), registrations + 1);
    }
    EXPECT_EQ(host::liveHandleCount(), handles);
    EXPECT_EQ(host::power::registrationCount(), registrations);
    EXPECT_EQ(RequestPowerNotifications(nullptr, POWER_NOTIFY_ALL), nullptr);
    const BYTE tooShort[4] = {};
    EXPECT_EQ(host::power::broadcast(tooShort, sizeof tooShort), 0u);
}

}  // namespace

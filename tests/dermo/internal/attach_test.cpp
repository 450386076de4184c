// Attach, the stream interface and the detach, with the driver's objects linked in: the device
// manager reaches them as a built-in driver and the USB stack is the recording fake.
#include "attach.h"

#include <gtest/gtest.h>
#include <host/devices.h>
#include <host/handles.h>
#include <host/registry.h>
#include <host/usb.h>
#include <sensor/sensor_profile.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "driver_fixture.h"

namespace {

using namespace dermo_test;

class AttachTest : public DriverTest {
  protected:
    // A read or write of 100 bytes on DRX1: on a thread of its own; error and took are valid
    // once the thread is joined.
    struct InFlight {
        std::thread thread;
        DWORD error = 0;
        std::chrono::steady_clock::duration took{};
    };

    // Opens DRX1: with the given read and write time-out and starts a read on it.
    void StartRead(DWORD timeout) {
        drx = Open();
        SENSOR_TIMEOUTS timeouts{timeout, timeout, 0};
        DeviceIoControl(drx, IOCTL_SENSOR_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0,
                        nullptr, nullptr);
        Start(reading, true);
    }
    void Start(InFlight& call, bool isRead) {
        call.thread = std::thread([this, &call, isRead] {
            BYTE data[100] = {};
            const auto start = std::chrono::steady_clock::now();
            const BOOL ok = isRead ? ReadFile(drx, data, sizeof data, nullptr, nullptr)
                                   : WriteFile(drx, data, sizeof data, nullptr, nullptr);
            call.error = ok ? 0 : GetLastError();
            call.took = std::chrono::steady_clock::now() - start;
        });
    }

    HANDLE drx = INVALID_HANDLE_VALUE;
    InFlight reading;
};

TEST_F(AttachTest, TakesTheSensorOpensItsPipesAndPublishesDrx1) {
    ASSERT_TRUE(Attach());
    EXPECT_EQ(accept, TRUE);
    EXPECT_TRUE(DrxActive());
    EXPECT_EQ(fakeUsb.openedEndpoints, (std::vector<BYTE>{0x81, 0x02, 0x83}));
    EXPECT_EQ(fakeUsb.selectedInterface, 0);
    EXPECT_EQ(fakeUsb.selectedAlternate, 0);
    EXPECT_EQ(fakeUsb.openTransfers, 0);  // the SetInterface transfer was closed
    EXPECT_EQ(fakeUsb.suspendCalls, 1);   // idle until the first open
    const DeviceContext* context = Context();
    EXPECT_EQ(std::memcmp(context->signature, "VkDc", 4), 0);
    EXPECT_EQ(context->bulkIn.maxTransferSize, 4096u);
    EXPECT_EQ(context->interruptIn.endpoint.wMaxPacketSize, 8);
    EXPECT_TRUE(context->suspendSupported);
    Unplug();
    EXPECT_TRUE(notifyResult);
    EXPECT_FALSE(DrxActive());
}

TEST_F(AttachTest, InterfacesThatAreNotTheSensorsAreRefusedWithTheFlagUntouched) {
    for (const char* name : {"two_endpoints", "mass_storage"}) {
        fakeUsb.reset(Profile(name));
        accept = kUntouched;
        EXPECT_FALSE(Attach()) << name;
        EXPECT_EQ(accept, kUntouched) << name;
        EXPECT_FALSE(DrxActive()) << name;
        EXPECT_EQ(fakeUsb.notifyRoutine, nullptr) << name;
        EXPECT_TRUE(fakeUsb.openedEndpoints.empty()) << name;
    }
}

TEST_F(AttachTest, APipeThatCannotBeOpenedEndsTheAttach) {
    fakeUsb.failOpenPipe = true;
    EXPECT_FALSE(Attach());
    EXPECT_EQ(accept, kUntouched);
    EXPECT_EQ(fakeUsb.openTransfers, 0);
    EXPECT_FALSE(DrxActive());
}

TEST_F(AttachTest, OfTwoBulkInEndpointsTheFirstServesReads) {
    fakeUsb.reset(Profile("two_bulk_in"));
    ASSERT_TRUE(Attach());
    EXPECT_EQ(fakeUsb.openedEndpoints, (std::vector<BYTE>{0x81, 0x02, 0x83}));
    EXPECT_EQ(Context()->bulkIn.endpoint.bEndpointAddress, 0x81);
}

TEST_F(AttachTest, AnAlternateSettingThatQualifiesIsSelected) {
    fakeUsb.reset(Profile("alternate_setting"));
    ASSERT_TRUE(Attach());
    EXPECT_EQ(fakeUsb.selectedAlternate, 1);
    EXPECT_EQ(Context()->bulkIn.endpoint.wMaxPacketSize, 512);
}

// Values within their bounds (the bounds and masks themselves: settings_test.cpp).
TEST_F(AttachTest, SettingsOfTheDriverKeyReachThePipesAndTheContext) {
    SetDriverKeyDword(u"MaxBulkReadSize", 1024);
    SetDriverKeyDword(u"MaxBulkWriteSize", 512);
    SetDriverKeyDword(u"MaxIntReadSize", 16);
    SetDriverKeyDword(u"TimeoutPerRequest", 1);
    SetDriverKeyDword(u"BulkRetryNumber", 3);
    ASSERT_TRUE(Attach());
    const DeviceContext* context = Context();
    EXPECT_EQ(context->bulkIn.maxTransferSize, 1024u);
    EXPECT_EQ(context->bulkOut.maxTransferSize, 512u);
    EXPECT_EQ(context->interruptIn.maxTransferSize, 16u);
    EXPECT_TRUE(context->timeoutPerRequest);
    EXPECT_EQ(context->bulkRetryNumber, 3u);
}

TEST_F(AttachTest, WithoutAnAcceptFlagTheAttachIsUndoneAndUnregistered) {
    EXPECT_FALSE(USBDeviceAttach(kDevice, &fakeUsb.funcs, nullptr, u"Papilla_USB_driver", nullptr,
                                 nullptr, 0));
    EXPECT_EQ(fakeUsb.unregisterCalls, 1);
    EXPECT_EQ(fakeUsb.notifyRoutine, nullptr);
    EXPECT_FALSE(DrxActive());
}

// A stack whose table ends part-way into the suspend entry: the copy reads no further than the
// table's size word says (the table here is exactly that long, so reading past it would be
// caught by the address sanitizer), takes whole entries only, and the sensor is never suspended
// or resumed.
TEST_F(AttachTest, AStackWithoutSuspendIsNeverAskedToSuspend) {
    const std::size_t shortSize = offsetof(USB_FUNCS, lpSuspendDevice) + 3;
    auto* shortTable = static_cast<USB_FUNCS*>(std::malloc(shortSize));
    std::memcpy(shortTable, &fakeUsb.funcs, shortSize);
    shortTable->dwCount = static_cast<DWORD>(shortSize);
    ASSERT_TRUE(Attach(shortTable));
    std::free(shortTable);

    EXPECT_FALSE(Context()->suspendSupported);
    EXPECT_EQ(Context()->usbFuncs.lpSuspendDevice, nullptr);
    EXPECT_EQ(Context()->usbFuncs.lpResumeDevice, nullptr);
    HANDLE first = Open();
    HANDLE second = Open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    CloseHandle(first);
    CloseHandle(second);
    Unplug();
    EXPECT_EQ(fakeUsb.suspendCalls, 0);
    EXPECT_EQ(fakeUsb.resumeCalls, 0);
}

TEST_F(AttachTest, NullSuspendEntriesInAFullTableLeaveSuspendUnsupported) {
    fakeUsb.funcs.lpResumeDevice = nullptr;
    ASSERT_TRUE(Attach());
    EXPECT_FALSE(Context()->suspendSupported);
    HANDLE handle = Open();
    CloseHandle(handle);
    EXPECT_EQ(fakeUsb.suspendCalls, 0);
}

TEST_F(AttachTest, NotificationsOtherThanCloseChangeNothing) {
    ASSERT_TRUE(Attach());
    EXPECT_FALSE(
        fakeUsb.notifyRoutine(fakeUsb.notifyParameter, 2, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(Context()->detached);
    HANDLE handle = Open();
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    // A close notification for something that is not a live context is acknowledged only.
    DeviceContext stranger{};
    EXPECT_TRUE(
        fakeUsb.notifyRoutine(&stranger, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(DrxActive());
}

TEST_F(AttachTest, TwoOpensResumeOnceAndTheLastCloseSuspendsAndSignalsIdle) {
    ASSERT_TRUE(Attach());
    DeviceContext* context = Context();
    EXPECT_TRUE(context->suspended);
    HANDLE first = Open();
    HANDLE second = Open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_NE(first, second);
    EXPECT_EQ(fakeUsb.resumeCalls, 1);
    EXPECT_EQ(context->openCount, 2);
    EXPECT_EQ(WaitForSingleObject(context->idleEvent, 0), WAIT_TIMEOUT);

    CloseHandle(first);
    EXPECT_FALSE(context->suspended);
    EXPECT_EQ(fakeUsb.suspendCalls, 1);
    CloseHandle(second);
    EXPECT_TRUE(context->suspended);
    EXPECT_EQ(fakeUsb.suspendCalls, 2);
    EXPECT_EQ(WaitForSingleObject(context->idleEvent, 0), WAIT_OBJECT_0);
}

TEST_F(AttachTest, AnOpenAfterUnplugIsDeniedAndTheContextLastsUntilTheLastClose) {
    ASSERT_TRUE(Attach());
    HANDLE first = Open();
    HANDLE second = Open();
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    const HANDLE idle = Context()->idleEvent;
    StartUnplug();
    // The notification is under way once it waits for the handles to close.
    for (int i = 0; i < 10000 && host::waiterCount(idle) == 0; ++i) std::this_thread::yield();
    ASSERT_EQ(host::waiterCount(idle), 1u);

    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    DWORD read = 0;
    BYTE buffer[4];
    EXPECT_FALSE(ReadFile(first, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_READY});

    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(DrxActive());
    EXPECT_EQ(host::waiterCount(idle), 1u);
    EXPECT_EQ(fakeUsb.openPipes, 3);
    EXPECT_TRUE(CloseHandle(second));
    notifier.join();
    EXPECT_TRUE(notifyResult);
    EXPECT_FALSE(DrxActive());
}

TEST_F(AttachTest, SeekFailsForEveryHandle) {
    ASSERT_TRUE(Attach());
    HANDLE handle = Open();
    EXPECT_EQ(SetFilePointer(handle, 10, nullptr, FILE_BEGIN), 0xFFFFFFFFu);
    CloseHandle(handle);
    SetLastError(1234);
    EXPECT_EQ(DRX_Seek(0, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(DRX_Seek(0x1234, -5, 2), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(AttachTest, InitFindsOnlyLiveContextsThroughClientInfo) {
    EXPECT_EQ(DRX_Init(0, nullptr), 0u);
    EXPECT_EQ(DRX_Init(reinterpret_cast<DWORD_PTR>(u"Drivers\\Active\\77"), nullptr), 0u);

    HKEY key = nullptr;
    DWORD disposition = 0;
    const WCHAR* path = u"Drivers\\Test\\Active";
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &key, &disposition);
    EXPECT_EQ(DRX_Init(reinterpret_cast<DWORD_PTR>(path), nullptr), 0u);  // no "ClientInfo"

    ASSERT_TRUE(Attach());
    const DWORD liveId = Context()->clientId;
    const WCHAR text[] = u"1";
    RegSetValueExW(key, u"ClientInfo", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    EXPECT_EQ(DRX_Init(reinterpret_cast<DWORD_PTR>(path), nullptr), 0u);  // not a REG_DWORD
    RegSetValueExW(key, u"ClientInfo", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&liveId),
                   sizeof liveId);
    EXPECT_EQ(DRX_Init(reinterpret_cast<DWORD_PTR>(path), nullptr),
              reinterpret_cast<DWORD_PTR>(Context()));
    Unplug();
    // The same id once its sensor is gone names nothing.
    EXPECT_EQ(DRX_Init(reinterpret_cast<DWORD_PTR>(path), nullptr), 0u);
    RegCloseKey(key);
}

TEST_F(AttachTest, HandlesThatAreNotLiveAreRefusedWithoutBeingRead) {
    ASSERT_TRUE(Attach());
    const DWORD_PTR device = reinterpret_cast<DWORD_PTR>(Context());
    const DWORD_PTR open = DRX_Open(device, 0, 0);
    ASSERT_NE(open, 0u);
    EXPECT_TRUE(DRX_Close(open));
    SetLastError(0);
    EXPECT_FALSE(DRX_Close(open));  // freed: found in no table, never dereferenced
    EXPECT_EQ(DRX_Read(open, nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(DRX_Write(open, nullptr, 0), 0u);
    EXPECT_FALSE(DRX_IOControl(open, 0, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});

    // A record that carries the right signature but was never handed out is not a handle.
    OpenContext forged{{'V', 'k', 'O', 'c'}, Context(), 0, 0, 0, FALSE, 0, nullptr};
    EXPECT_FALSE(DRX_Close(reinterpret_cast<DWORD_PTR>(&forged)));
    DeviceContext copy{};
    std::memcpy(copy.signature, "VkDc", 4);
    SetLastError(0);
    EXPECT_EQ(DRX_Open(reinterpret_cast<DWORD_PTR>(&copy), 0, 0), 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_FALSE(DRX_Deinit(reinterpret_cast<DWORD_PTR>(&copy)));
    EXPECT_EQ(Context()->openCount, 0);

    Unplug();
    EXPECT_EQ(DRX_Open(device, 0, 0), 0u);
    EXPECT_FALSE(DRX_Deinit(device));
}

// Opens keep arriving while the sensor goes away: each one either gets a handle that still
// closes normally or is refused; none may touch the context after it is freed (the sanitizers
// watch), and the context goes only after the last close.
TEST_F(AttachTest, OpensRacingTheUnplugNeverUseAFreedContext) {
    ASSERT_TRUE(Attach());
    const DWORD_PTR device = reinterpret_cast<DWORD_PTR>(Context());
    std::atomic<bool> stop{false};
    std::atomic<int> opened{0};
    std::vector<std::thread> openers;
    for (int t = 0; t < 4; ++t)
        openers.emplace_back([&] {
            while (!stop) {
                const DWORD_PTR open = DRX_Open(device, 0, 0);
                if (open == 0) continue;
                ++opened;
                EXPECT_TRUE(DRX_Close(open));
            }
        });
    while (opened < 100) std::this_thread::yield();
    Unplug();
    stop = true;
    for (auto& opener : openers) opener.join();
    EXPECT_FALSE(DrxActive());
}

// The detach marks the sensor under the lock that an open holds from its check of the sensor
// until it has counted itself: an open is wholly before the detach (which then waits for its
// close) or wholly after it (refused), never checked before the detach and counted after the
// context went. Held inside its resume, the last step under that lock, the open holds the lock.
TEST_F(AttachTest, AnOpenHoldsOffTheDetachUntilItHasCountedItself) {
    ASSERT_TRUE(Attach());
    DeviceContext* context = Context();
    fakeUsb.resumeGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread opener([&] { EXPECT_NE(OpenDirect(), nullptr); });
    ASSERT_TRUE(WaitForWaiter(fakeUsb.resumeGate));
    const BOOL free = TryEnterCriticalSection(&context->stateLock);
    if (free) LeaveCriticalSection(&context->stateLock);
    EXPECT_FALSE(free);
    SetEvent(fakeUsb.resumeGate);
    opener.join();
    CloseHandle(fakeUsb.resumeGate);
    fakeUsb.resumeGate = nullptr;
    EXPECT_EQ(context->openCount, 1);
}

// An attach that fails after DRX1: was published, while an application has it open and a read
// and a write wait for their transfers: the teardown ends both transfers, waits for the calls
// to return, and only then closes the pipes' locks and events (on a time-out a call would
// otherwise leave a deleted lock). Both return long before their time-out, which bounds the
// test should a transfer be left to run; detached, they issue nothing more, not even the retry
// they have left.
TEST_F(AttachTest, AnAttachFailingAfterPublicationLetsTheCallsInFlightReturnFirst) {
    constexpr DWORD kTimeout = 10000;
    SetDriverKeyDword(u"BulkRetryNumber", 1);
    fakeUsb.bulkOutcomes = {{0, USB_NO_ERROR, false}, {0, USB_NO_ERROR, false}};
    InFlight write;
    fakeUsb.onRegisterNotification = [&](LPVOID parameter) {
        StartRead(kTimeout);
        Start(write, false);
        const auto* context = static_cast<DeviceContext*>(parameter);
        EXPECT_TRUE(WaitForWaiter(context->bulkIn.completionEvent));
        EXPECT_TRUE(WaitForWaiter(context->bulkOut.completionEvent));
        return FALSE;
    };
    EXPECT_FALSE(Attach());
    for (InFlight* call : {&reading, &write}) {
        call->thread.join();
        EXPECT_EQ(call->error, DWORD{ERROR_NOT_READY});
        EXPECT_LT(call->took, std::chrono::milliseconds(kTimeout / 2));
    }
    EXPECT_EQ(fakeUsb.bulkCalls.size(), 2u);
    EXPECT_EQ(accept, kUntouched);
    EXPECT_FALSE(DrxActive());
    EXPECT_TRUE(CloseHandle(drx));
}

// The same failed attach when the read is inside the stack's issue call as the teardown aborts
// the pipe: its transfer is taken only after the abort, so nothing would end it before its
// time-out. The read finds the sensor detached once issued, cancels the transfer and returns
// without a recovery, and the teardown does not wait out the time-out.
TEST_F(AttachTest, AReadIssuedJustAfterTheTeardownsAbortIsCancelledAtOnce) {
    SetDriverKeyDword(u"BulkRetryNumber", 0);
    fakeUsb.bulkOutcomes = {{0, USB_NO_ERROR, false}};
    fakeUsb.abortSignal = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE issuing = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fakeUsb.beforeBulkIssue = [&] {
        SetEvent(issuing);
        WaitForSingleObject(fakeUsb.abortSignal, INFINITE);
    };
    fakeUsb.onRegisterNotification = [&](LPVOID) {
        StartRead(3000);
        EXPECT_EQ(WaitForSingleObject(issuing, 10000), WAIT_OBJECT_0);
        return FALSE;
    };
    EXPECT_FALSE(Attach());
    reading.thread.join();
    EXPECT_EQ(reading.error, DWORD{ERROR_NOT_READY});
    EXPECT_EQ(fakeUsb.bulkCalls.size(), 1u);
    EXPECT_TRUE(fakeUsb.resetPipes.empty());
    EXPECT_TRUE(CloseHandle(drx));
    CloseHandle(issuing);
    CloseHandle(fakeUsb.abortSignal);
    fakeUsb.abortSignal = nullptr;
}

// One sensor's power call blocked in the stack holds up no other sensor: a read on the second
// goes through while the first one's last close waits in SuspendDevice.
TEST_F(AttachTest, ABlockedSuspendOfOneSensorStallsNoOtherSensor) {
    ASSERT_TRUE(Attach());
    DeviceContext* first = Context();
    const LPDEVICE_NOTIFY_ROUTINE notifyFirst = fakeUsb.notifyRoutine;
    const DWORD_PTR onFirst = DRX_Open(reinterpret_cast<DWORD_PTR>(first), 0, 0);
    ASSERT_NE(onFirst, 0u);
    ASSERT_TRUE(Attach(&fakeUsb.funcs, kOtherDevice));
    OpenContext* onSecond = OpenDirect();
    ASSERT_NE(onSecond, nullptr);

    fakeUsb.suspendGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread closer([&] { EXPECT_TRUE(DRX_Close(onFirst)); });
    ASSERT_TRUE(WaitForWaiter(fakeUsb.suspendGate));
    BYTE data[100];
    auto read = std::async(std::launch::async, [&] { return Read(onSecond, data, sizeof data); });
    EXPECT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    SetEvent(fakeUsb.suspendGate);
    closer.join();
    EXPECT_EQ(read.get(), DWORD{sizeof data});
    CloseHandle(fakeUsb.suspendGate);
    fakeUsb.suspendGate = nullptr;
    EXPECT_TRUE(notifyFirst(first, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr));
}

// 1000 plug, open, close and unplug cycles leak no handle of the process.
TEST_F(AttachTest, ManyCyclesLeaveNothingBehind) {
    for (int cycle = 0; cycle < 1000; ++cycle) {
        fakeUsb.reset(sim::defaultProfile());
        ASSERT_TRUE(Attach()) << cycle;
        HANDLE handle = Open();
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << cycle;
        ASSERT_TRUE(CloseHandle(handle));
        Unplug();
        ASSERT_EQ(fakeUsb.openPipes, 0);
    }
    EXPECT_FALSE(DrxActive());
}

}  // namespace

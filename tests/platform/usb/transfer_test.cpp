// Bulk and interrupt transfers: completion on the stack's thread, status, cancellation by close
// and abort, halted pipes, short and long replies, and unplug in mid-transfer.
#include <array>
#include <atomic>
#include <cstring>
#include <thread>

#include "usb_fixture.h"

namespace {

using host::usb::RequestPtr;

// A completion routine that records its calls; its parameter is the Completion.
struct Completion {
    Completion() : event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Completion() { CloseHandle(event); }

    static DWORD routine(LPVOID parameter) {
        auto* self = static_cast<Completion*>(parameter);
        self->thread = GetCurrentThreadId();
        self->calls.fetch_add(1);
        SetEvent(self->event);
        return 0;
    }
    bool wait() const { return WaitForSingleObject(event, 10000) == WAIT_OBJECT_0; }

    HANDLE event;
    std::atomic<int> calls{0};
    std::atomic<DWORD> thread{0};
};

class TransferTest : public UsbTest {
  protected:
    void SetUp() override {
        UsbTest::SetUp();
        id = plugAttached();
        funcs = client().funcs;
        in = client().bulkIn;
        out = client().bulkOut;
        ASSERT_NE(in, nullptr);
        ASSERT_NE(out, nullptr);
    }

    USB_TRANSFER readAsync(BYTE* buffer, DWORD size, Completion& done,
                           DWORD flags = USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK) {
        return funcs->lpIssueBulkTransfer(in, Completion::routine, &done, flags, size, buffer, 0);
    }

    struct Status {
        DWORD bytes;
        DWORD error;
    };
    Status status(USB_TRANSFER transfer) {
        Status s{0xDEAD, 0xDEAD};
        EXPECT_TRUE(funcs->lpGetTransferStatus(transfer, &s.bytes, &s.error));
        return s;
    }

    host::usb::DeviceId id = 0;
    LPCUSB_FUNCS funcs = nullptr;
    USB_PIPE in = nullptr;
    USB_PIPE out = nullptr;
};

TEST_F(TransferTest, AsynchronousReadCompletesOnAStackThreadWithTheModelsData) {
    std::array<BYTE, 8> buffer{};
    Completion done;
    USB_TRANSFER transfer = readAsync(buffer.data(), buffer.size(), done);
    ASSERT_NE(transfer, nullptr);

    const RequestPtr request = device->nextRequest();
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->type(), host::usb::TransferType::Bulk);
    EXPECT_EQ(request->endpoint(), 0x81);
    EXPECT_TRUE(request->isIn());
    EXPECT_EQ(request->length(), 8u);
    EXPECT_FALSE(funcs->lpIsTransferComplete(transfer));
    EXPECT_EQ(status(transfer).error, static_cast<DWORD>(USB_NOT_COMPLETE_ERROR));
    EXPECT_EQ(done.calls.load(), 0);

    const std::array<BYTE, 3> data{7, 8, 9};
    EXPECT_TRUE(request->reply(data));
    ASSERT_TRUE(done.wait());
    EXPECT_NE(done.thread.load(), GetCurrentThreadId());
    EXPECT_TRUE(funcs->lpIsTransferComplete(transfer));
    const Status s = status(transfer);
    EXPECT_EQ(s.bytes, 3u);
    EXPECT_EQ(s.error, static_cast<DWORD>(USB_NO_ERROR));
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[2], 9);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_FALSE(request->pending());
    EXPECT_FALSE(request->reply(data));  // once
    EXPECT_TRUE(funcs->lpCloseTransfer(transfer));
    EXPECT_EQ(done.calls.load(), 1);
    EXPECT_EQ(host::usb::liveObjects().transfers, 0u);
}

TEST_F(TransferTest, SynchronousWriteReturnsCompletedAndTheModelHasACopyOfTheData) {
    std::array<BYTE, 4> data{1, 2, 3, 4};
    std::thread model([&] {
        const RequestPtr request = device->nextRequest();
        ASSERT_NE(request, nullptr);
        EXPECT_FALSE(request->isIn());
        ASSERT_EQ(request->outData().size(), 4u);
        EXPECT_EQ(request->outData()[3], 4);
        request->accept(3);
    });
    USB_TRANSFER transfer =
        funcs->lpIssueBulkTransfer(out, nullptr, nullptr, USB_OUT_TRANSFER, 4, data.data(), 0);
    model.join();
    ASSERT_NE(transfer, nullptr);
    EXPECT_TRUE(funcs->lpIsTransferComplete(transfer));
    EXPECT_EQ(status(transfer).bytes, 3u);
    EXPECT_TRUE(funcs->lpCloseTransfer(transfer));
}

TEST_F(TransferTest, NoWaitWithoutARoutineIsPolled) {
    std::array<BYTE, 4> buffer{};
    USB_TRANSFER transfer = funcs->lpIssueBulkTransfer(
        in, nullptr, nullptr, USB_IN_TRANSFER | USB_NO_WAIT, 4, buffer.data(), 0);
    ASSERT_NE(transfer, nullptr);
    EXPECT_FALSE(funcs->lpIsTransferComplete(transfer));
    const RequestPtr request = device->nextRequest();
    ASSERT_NE(request, nullptr);
    const std::array<BYTE, 4> data{5, 5, 5, 5};
    request->reply(data);
    EXPECT_TRUE(funcs->lpIsTransferComplete(transfer));
    EXPECT_EQ(status(transfer).bytes, 4u);
    EXPECT_TRUE(funcs->lpCloseTransfer(transfer));
}

TEST_F(TransferTest, ClosingAnUnfinishedTransferCancelsItAndALateReplyTouchesNothing) {
    std::array<BYTE, 8> buffer;
    buffer.fill(0xAA);
    Completion first;
    USB_TRANSFER transfer = readAsync(buffer.data(), buffer.size(), first);
    ASSERT_NE(transfer, nullptr);
    const RequestPtr late = device->nextRequest();
    ASSERT_NE(late, nullptr);

    EXPECT_TRUE(funcs->lpCloseTransfer(transfer));
    EXPECT_FALSE(late->pending());
    const std::array<BYTE, 8> data{1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_FALSE(late->reply(data));
    for (const BYTE b : buffer) EXPECT_EQ(b, 0xAA);
    SetLastError(0);
    DWORD bytes = 0;
    EXPECT_FALSE(funcs->lpGetTransferStatus(transfer, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(funcs->lpCloseTransfer(transfer));

    // Routines run in completion order: once the next one has run, the cancelled one never will.
    Completion second;
    std::array<BYTE, 8> other{};
    USB_TRANSFER next = readAsync(other.data(), other.size(), second);
    device->nextRequest()->reply(data);
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(first.calls.load(), 0);
    EXPECT_TRUE(funcs->lpCloseTransfer(next));
}

// The routine blocks on `release`; CloseTransfer from another thread must wait for it.
struct BlockingCompletion {
    static DWORD routine(LPVOID parameter) {
        auto* self = static_cast<BlockingCompletion*>(parameter);
        SetEvent(self->entered);
        WaitForSingleObject(self->release, INFINITE);
        self->exitOrder = self->order.fetch_add(1);
        return 0;
    }
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> order{0};
    std::atomic<int> exitOrder{-1};
};

TEST_F(TransferTest, CloseTransferWaitsForARoutineThatIsRunning) {
    BlockingCompletion blocking;
    std::array<BYTE, 4> buffer{};
    USB_TRANSFER transfer = funcs->lpIssueBulkTransfer(in, BlockingCompletion::routine, &blocking,
                                                       USB_IN_TRANSFER, 4, buffer.data(), 0);
    const std::array<BYTE, 4> data{1, 2, 3, 4};
    device->nextRequest()->reply(data);
    ASSERT_EQ(WaitForSingleObject(blocking.entered, 10000), WAIT_OBJECT_0);

    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> closeOrder{-1};
    std::thread closer([&] {
        funcs->lpCloseTransfer(transfer);
        closeOrder = blocking.order.fetch_add(1);
        SetEvent(closed);
    });
    EXPECT_EQ(WaitForSingleObject(closed, 50), WAIT_TIMEOUT);
    SetEvent(blocking.release);
    closer.join();
    EXPECT_LT(blocking.exitOrder.load(), closeOrder.load());
    CloseHandle(closed);
    CloseHandle(blocking.entered);
    CloseHandle(blocking.release);
}

TEST_F(TransferTest, RoutineMayCloseItsOwnTransfer) {
    struct SelfClosing {
        static DWORD routine(LPVOID parameter) {
            auto* self = static_cast<SelfClosing*>(parameter);
            self->closed = self->funcs->lpCloseTransfer(self->transfer.load());
            SetEvent(self->done);
            return 0;
        }
        LPCUSB_FUNCS funcs;
        std::atomic<USB_TRANSFER> transfer{nullptr};
        BOOL closed = FALSE;
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    } self{funcs};
    std::array<BYTE, 4> buffer{};
    self.transfer = funcs->lpIssueBulkTransfer(in, SelfClosing::routine, &self, USB_IN_TRANSFER, 4,
                                               buffer.data(), 0);
    const std::array<BYTE, 4> data{1, 2, 3, 4};
    device->nextRequest()->reply(data);
    ASSERT_EQ(WaitForSingleObject(self.done, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(self.closed);
    EXPECT_EQ(host::usb::liveObjects().transfers, 0u);
    CloseHandle(self.done);
}

TEST_F(TransferTest, AbortCancelsAndCallsTheRoutineAbortPipeOnlyTouchesThatPipe) {
    std::array<BYTE, 4> a{};
    std::array<BYTE, 4> b{};
    std::array<BYTE, 4> c{};
    Completion doneA;
    Completion doneB;
    Completion doneC;
    USB_TRANSFER ta = readAsync(a.data(), 4, doneA);
    USB_TRANSFER tb = readAsync(b.data(), 4, doneB);
    USB_TRANSFER tc = funcs->lpIssueBulkTransfer(out, Completion::routine, &doneC, USB_OUT_TRANSFER,
                                                 4, c.data(), 0);
    ASSERT_TRUE(ta && tb && tc);

    EXPECT_TRUE(funcs->lpAbortTransfer(ta, 0));
    ASSERT_TRUE(doneA.wait());
    EXPECT_EQ(status(ta).error, static_cast<DWORD>(USB_CANCELED_ERROR));
    EXPECT_FALSE(funcs->lpIsTransferComplete(tb));

    EXPECT_TRUE(funcs->lpAbortPipeTransfers(in, 0));
    ASSERT_TRUE(doneB.wait());
    EXPECT_EQ(status(tb).error, static_cast<DWORD>(USB_CANCELED_ERROR));
    EXPECT_FALSE(funcs->lpIsTransferComplete(tc));

    for (USB_TRANSFER t : {ta, tb, tc}) EXPECT_TRUE(funcs->lpCloseTransfer(t));
    EXPECT_EQ(doneC.calls.load(), 0);
    // The model heard of each cancellation once: the abort, the pipe's abort, the close of the
    // unfinished write; not of the closes of what had already ended.
    const auto cancelled = device->cancelled();
    ASSERT_EQ(cancelled.size(), 3u);
    EXPECT_TRUE(cancelled[0]->isIn() && cancelled[1]->isIn() && !cancelled[2]->isIn());
}

TEST_F(TransferTest, StallHaltsThePipeUntilItIsReset) {
    std::array<BYTE, 4> buffer{};
    Completion first;
    USB_TRANSFER t1 = readAsync(buffer.data(), 4, first);
    device->nextRequest()->fail(USB_STALL_ERROR);
    ASSERT_TRUE(first.wait());
    EXPECT_EQ(status(t1).error, static_cast<DWORD>(USB_STALL_ERROR));
    BOOL halted = FALSE;
    ASSERT_TRUE(funcs->lpIsPipeHalted(in, &halted));
    EXPECT_TRUE(halted);
    ASSERT_TRUE(funcs->lpIsPipeHalted(out, &halted));
    EXPECT_FALSE(halted);

    // Refused without reaching the device.
    Completion second;
    USB_TRANSFER t2 = readAsync(buffer.data(), 4, second);
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(status(t2).error, static_cast<DWORD>(USB_STALL_ERROR));
    EXPECT_EQ(device->nextRequest(0), nullptr);

    // A model that cannot clear its side keeps the pipe halted.
    device->resetPipeResult = false;
    EXPECT_FALSE(funcs->lpResetPipe(in));
    ASSERT_TRUE(funcs->lpIsPipeHalted(in, &halted));
    EXPECT_TRUE(halted);
    device->resetPipeResult = true;
    EXPECT_TRUE(funcs->lpResetPipe(in));
    ASSERT_TRUE(funcs->lpIsPipeHalted(in, &halted));
    EXPECT_FALSE(halted);
    EXPECT_EQ(device->pipeResets(), (std::vector<BYTE>{0x81, 0x81}));
    Completion third;
    USB_TRANSFER t3 = readAsync(buffer.data(), 4, third);
    EXPECT_NE(device->nextRequest(), nullptr);
    for (USB_TRANSFER t : {t1, t2, t3}) EXPECT_TRUE(funcs->lpCloseTransfer(t));
}

TEST_F(TransferTest, ShortAndOverlongRepliesAreReportedAndNeverOverrunTheBuffer) {
    struct Case {
        DWORD flags;
        std::size_t replyBytes;
        DWORD bytes;
        DWORD error;
    };
    for (const Case& c : {Case{USB_IN_TRANSFER, 2, 2, USB_DATA_UNDERRUN_ERROR},
                          Case{USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, 2, 2, USB_NO_ERROR},
                          Case{USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, 0, 0, USB_NO_ERROR},
                          Case{USB_IN_TRANSFER, 4, 4, USB_NO_ERROR},
                          Case{USB_IN_TRANSFER, 9, 4, USB_DATA_OVERRUN_ERROR}}) {
        std::array<BYTE, 8> buffer;
        buffer.fill(0xEE);
        Completion done;
        USB_TRANSFER t = readAsync(buffer.data(), 4, done, c.flags);
        const std::vector<BYTE> data(c.replyBytes, 0x11);
        device->nextRequest()->reply(data);
        ASSERT_TRUE(done.wait());
        const Status s = status(t);
        EXPECT_EQ(s.bytes, c.bytes);
        EXPECT_EQ(s.error, c.error);
        for (std::size_t i = 4; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE);
        EXPECT_TRUE(funcs->lpCloseTransfer(t));
    }
}

TEST_F(TransferTest, UnplugInMidTransferFailsEveryTransferAndLateRepliesAreRefused) {
    std::array<BYTE, 4> asyncBuffer;
    asyncBuffer.fill(0xAA);
    Completion done;
    USB_TRANSFER pending = readAsync(asyncBuffer.data(), 4, done);
    const RequestPtr held = device->nextRequest();
    ASSERT_NE(held, nullptr);

    std::array<BYTE, 4> syncBuffer{};
    std::atomic<USB_TRANSFER> sync{nullptr};
    std::thread reader([&] {
        sync = funcs->lpIssueBulkTransfer(out, nullptr, nullptr, USB_OUT_TRANSFER, 4,
                                          syncBuffer.data(), 0);
    });
    ASSERT_NE(device->nextRequest(), nullptr);  // the synchronous one is with the device

    client().notificationEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    client().notificationGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(host::usb::unplug(id));
    reader.join();
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(status(pending).error, static_cast<DWORD>(USB_DEVICE_NOT_RESPONDING_ERROR));
    ASSERT_NE(sync.load(), nullptr);
    EXPECT_EQ(status(sync).error, static_cast<DWORD>(USB_DEVICE_NOT_RESPONDING_ERROR));
    const std::array<BYTE, 4> data{1, 2, 3, 4};
    EXPECT_FALSE(held->reply(data));
    for (const BYTE b : asyncBuffer) EXPECT_EQ(b, 0xAA);

    // The client may still close its transfers while its notification runs.
    ASSERT_EQ(WaitForSingleObject(client().notificationEntered, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(funcs->lpCloseTransfer(pending));
    EXPECT_TRUE(funcs->lpCloseTransfer(sync));
    SetEvent(client().notificationGate);
    ASSERT_TRUE(host::usb::waitUnplugged(id, 10000));
    EXPECT_EQ(done.calls.load(), 1);
    CloseHandle(client().notificationEntered);
    CloseHandle(client().notificationGate);
    EXPECT_EQ(host::usb::liveObjects().transfers, 0u);
}

TEST_F(TransferTest, TransfersLeftOpenByTheClientAreReleasedWhenTheDeviceGoes) {
    std::array<BYTE, 4> buffer{};
    Completion done;
    ASSERT_NE(readAsync(buffer.data(), 4, done), nullptr);
    ASSERT_NE(device->nextRequest(), nullptr);
    unplugAndWait(id);
    EXPECT_EQ(done.calls.load(), 1);
    EXPECT_EQ(host::usb::liveObjects().transfers, 0u);
    EXPECT_EQ(host::usb::liveObjects().pipes, 0u);
}

TEST_F(TransferTest, PipeRulesAreEnforced) {
    std::array<BYTE, 4> buffer{};
    SetLastError(0);
    // Direction against the endpoint's.
    EXPECT_EQ(
        funcs->lpIssueBulkTransfer(out, nullptr, nullptr, USB_IN_TRANSFER, 4, buffer.data(), 0),
        nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // Interrupt transfer on a bulk pipe; a buffer of null with a size.
    EXPECT_EQ(
        funcs->lpIssueInterruptTransfer(in, nullptr, nullptr, USB_IN_TRANSFER, 4, buffer.data(), 0),
        nullptr);
    EXPECT_EQ(funcs->lpIssueBulkTransfer(in, nullptr, nullptr, USB_IN_TRANSFER, 4, nullptr, 0),
              nullptr);

    const USB_INTERFACE& setting =
        client().funcs->lpGetDeviceInfo(client().device)->lpActiveConfig->lpInterfaces[0];
    SetLastError(0);
    EXPECT_EQ(funcs->lpOpenPipe(client().device, &setting.lpEndpoints[0].Descriptor), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    USB_ENDPOINT_DESCRIPTOR unknown = setting.lpEndpoints[0].Descriptor;
    unknown.bEndpointAddress = 0x85;
    EXPECT_EQ(funcs->lpOpenPipe(client().device, &unknown), nullptr);

    USB_PIPE interrupt = funcs->lpOpenPipe(client().device, &setting.lpEndpoints[2].Descriptor);
    ASSERT_NE(interrupt, nullptr);
    Completion done;
    USB_TRANSFER t = funcs->lpIssueInterruptTransfer(interrupt, Completion::routine, &done,
                                                     USB_IN_TRANSFER, 4, buffer.data(), 0);
    ASSERT_NE(t, nullptr);
    const RequestPtr request = device->nextRequest();
    EXPECT_EQ(request->type(), host::usb::TransferType::Interrupt);
    EXPECT_EQ(request->endpoint(), 0x83);
    // Closing the pipe cancels its transfers; the handle stays until it is closed.
    EXPECT_TRUE(funcs->lpClosePipe(interrupt));
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(status(t).error, static_cast<DWORD>(USB_CANCELED_ERROR));
    EXPECT_FALSE(funcs->lpClosePipe(interrupt));
    EXPECT_FALSE(funcs->lpResetPipe(interrupt));
    EXPECT_TRUE(funcs->lpCloseTransfer(t));
}

}  // namespace

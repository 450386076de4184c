// The hand-over of a request from an application thread to the manager thread.
#include <kfuncs.h>
#include <windows.h>

#include "manager/device_manager.h"

namespace kest {
namespace {

// Waits on `event` until the manager records `generation` as fulfilled or `timeoutMs` has
// passed (INFINITE waits without limit; every other value, also one from a negative time-out,
// is a count of milliseconds). A completion of an earlier request that had already given up may
// still set the event: the wait then re-arms and goes on for the time that is left. The wait ends
// unfulfilled once the manager's threads are stopped (`running` cleared; the stop sets the event).
bool awaitGeneration(HANDLE event, const std::atomic<std::uint32_t>& fulfilled,
                     std::uint32_t generation, DWORD timeoutMs, const std::atomic<BYTE>& running) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (running.load(std::memory_order_acquire) == 0) return false;
        DWORD remaining = INFINITE;
        if (timeoutMs != INFINITE) {
            const DWORD elapsed = GetTickCount() - start;
            remaining = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        }
        const DWORD woken = WaitForSingleObject(event, remaining);
        if (fulfilled.load(std::memory_order_acquire) == generation) return true;
        if (woken != WAIT_OBJECT_0 || remaining == 0) return false;
        EventModify(event, EVENT_RESET);
        // The manager may have recorded this generation between the check and the reset, whose
        // set the reset then took away.
        if (fulfilled.load(std::memory_order_acquire) == generation) return true;
    }
}

}  // namespace

std::int32_t timeoutMilliseconds(std::int32_t seconds) {
    // Unsigned arithmetic wraps without undefined behaviour; the conversion back keeps the low
    // 32 bits, as the handheld's multiply does.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(seconds) * 1000u);
}

int DeviceManager::submitRequest(std::int32_t waitMs) {
    // A request from an application handler on one of the library's own threads is submitted
    // without waiting: on the manager thread the pass that would carry it out cannot run before
    // the handler returns, and on the monitor thread the answers it might wait for are the frames
    // that this very thread reads. It is carried out once the handler has returned, and the
    // handler is told so always, not only when the manager thread is slower than its look.
    const bool fromOwnThread = onOwnThread();
    if (fromOwnThread) waitMs = 0;
    if (requestPending.exchange(1, std::memory_order_acq_rel) != 0) {
        reportStatus("Request already in progress.");
        return kRequestBusy;
    }
    EventModify(requestDoneEvent, EVENT_RESET);
    requestResult.store(kRequestTimedOut, std::memory_order_release);
    // The settings and requestedState the caller wrote are published with the generation: a
    // completion check that sees this generation compares against them.
    const std::uint32_t generation = requestGeneration.fetch_add(1, std::memory_order_acq_rel) + 1;
    EventModify(wakeEvent, EVENT_SET);

    const bool fulfilled =
        !fromOwnThread && awaitGeneration(requestDoneEvent, fulfilledGeneration, generation,
                                          static_cast<DWORD>(waitMs), managerRunning);
    const int result = fulfilled ? kRequestFulfilled : kRequestTimedOut;
    requestResult.store(result, std::memory_order_release);
    requestPending.store(0, std::memory_order_release);
    if (result == kRequestTimedOut && waitMs > 0 && !detached()) reportStatus("Request timed out.");
    return result;
}

void DeviceManager::completeRequest() {
    if (requestPending.load(std::memory_order_acquire) == 0) return;
    // The generation is read before the states: if it is a request's own, the comparison below
    // sees the requestedState that request (or a later caller) wrote.
    const std::uint32_t generation = requestGeneration.load(std::memory_order_acquire);
    if (currentState != static_cast<int>(requestedState.load())) return;
    fulfilledGeneration.store(generation, std::memory_order_release);
    EventModify(requestDoneEvent, EVENT_SET);
}

}  // namespace kest

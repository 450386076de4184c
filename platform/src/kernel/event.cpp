#include "kernel/object.h"

namespace ce::kernel {
namespace {

class Event final : public Waitable {
public:
    Event(bool manualReset, bool initialState) : manualReset_(manualReset), signalled_(initialState) {}

    bool isSignalledLocked() const override { return signalled_; }
    void acquireLocked() override {
        if (!manualReset_) signalled_ = false;
    }

    void modify(DWORD func) {
        std::lock_guard guard(waitLock());
        switch (func) {
            case EVENT_SET:
                signalled_ = true;
                notifyWaitersLocked();
                break;
            case EVENT_RESET:
                signalled_ = false;
                break;
            case EVENT_PULSE:
                // Releases the threads waiting now (a manual-reset event) or one of them (an
                // auto-reset event) and leaves the event non-signalled.
                grantToWaitersLocked(manualReset_);
                signalled_ = false;
                break;
        }
    }

private:
    const bool manualReset_;
    bool signalled_;
};

}  // namespace
}  // namespace ce::kernel

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                                      LPCWSTR lpName) {
    // Named events would be shared between processes; this host runs one process.
    if (lpName != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return ce::kernel::insertHandle(
        std::make_shared<ce::kernel::Event>(bManualReset != FALSE, bInitialState != FALSE));
}

extern "C" BOOL WINAPI EventModify(HANDLE hEvent, DWORD func) {
    auto event = ce::kernel::lookupHandleAs<ce::kernel::Event>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (func != EVENT_SET && func != EVENT_RESET && func != EVENT_PULSE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    event->modify(func);
    return TRUE;
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) { return EventModify(hEvent, EVENT_SET); }
extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) { return EventModify(hEvent, EVENT_RESET); }
extern "C" BOOL WINAPI PulseEvent(HANDLE hEvent) { return EventModify(hEvent, EVENT_PULSE); }

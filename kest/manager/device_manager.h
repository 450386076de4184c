// The one object that holds all of the library's state. The exports reach it through the
// library-wide pointer (manager/library_entry.h); the manager thread and the monitor thread get it
// as their thread argument.
//
// No lock protects the fields: events hand the work over between the application's threads, the
// manager thread and the monitor thread. Every field that more than one thread touches is an
// atomic. The flags that publish other fields (versionReceived, downloadDone, requestPending,
// requestResult, dataChannelOpen, the run flags) are stored with release and loaded with acquire
// order; the others may use relaxed order, as nothing is published through them.
#pragma once

#include <msgqueue.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "manager/callback_list.h"
#include "manager/critical_section.h"

// GCC and clang check a printf-style call's arguments against its format; the handheld's compiler
// has no such attribute.
#if defined(__GNUC__)
#define KEST_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define KEST_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

namespace kest {

class FramedPort;
class Frame;

// Results of the steps of a manager pass.
inline constexpr int kStepDone = 0;        // done, or nothing to do
inline constexpr int kStepInProgress = 1;  // try again on a later pass
inline constexpr int kStepFailed = 2;

// Results of submitRequest (the export return codes).
inline constexpr int kRequestFulfilled = 0;
inline constexpr int kRequestTimedOut = 1;
inline constexpr int kRequestBusy = 3;

// The wait of a request, seconds × 1000 as a signed 32-bit product: it wraps the way the
// handheld's arithmetic does, so a large or negative time-out gives a negative wait, which
// submitRequest uses as an unsigned (practically unbounded) millisecond count.
std::int32_t timeoutMilliseconds(std::int32_t seconds);

class DeviceManager {
  public:
    // Creates the events, the power-notification queue and its registration, and starts both
    // threads. Nothing in it reports failure: what cannot be created stays null.
    DeviceManager();
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    // Stops both threads and frees the manager. On any other thread it returns once both
    // threads have left the library's code for good and the manager is freed. It never waits
    // for a thread to end: it may run inside the process detach of a FreeLibrary, under the
    // loader lock that a thread's end needs. On one of the manager's own threads (an application
    // handler that unloads the library) it cannot wait for itself: it only tells both threads to
    // stop, and the last of them to end frees the manager. Either way the caller must not touch
    // the manager afterwards.
    static void destroy(DeviceManager* manager);
    // The loader's thread attach, in the new thread before its routine begins. A thread of the
    // manager that has not had it yet is still waiting for the loader lock, before any code of
    // the library: a detach that holds that lock ends such a thread rather than wait for it.
    void threadAttached();
    // At process exit: tells both threads to stop and frees nothing. The loader may already have
    // ended them anywhere, or they may run on until the process ends, still using the manager.
    static void abandon(DeviceManager* manager);

    // The manager thread's routine: a pass of manage after each wake, at least once a second.
    static DWORD WINAPI runManager(LPVOID manager);
    // The monitor thread's routine: the only reader of the data port.
    static DWORD WINAPI StartMonitorThread(LPVOID manager);
    int monitor();
    // One wait of the monitor on the data port and what it brings, under a claim on the port;
    // false when the thread should pause before the next wait.
    bool watchDataPort();
    // The data port, claimed by the monitor thread; null when the channel is not open.
    FramedPort* claimDataPort();
    // Ends the claim, deleting the port if it was discarded meanwhile.
    void releaseDataPort();

    // Hands the request described by requestedState (and the settings written before) to the
    // manager thread and waits up to waitMs milliseconds (unsigned; a negative value waits
    // practically without limit) until currentState equals requestedState. On the manager's own
    // threads it does not wait at all. kRequestFulfilled, kRequestTimedOut or kRequestBusy.
    int submitRequest(std::int32_t waitMs);
    // The completion check at the end of each pass: fulfils the waiting request once
    // currentState equals requestedState.
    void completeRequest();

    // One pass of the state machine; only on the manager thread. A handler on this thread may
    // detach the library: the pass then ends at once (kStepFailed) after the step that ran it,
    // before it can power on or open a port that nobody would close any more.
    int manage();
    bool detached() const;
    void setState(int state);
    int closePeripheral();
    int openPeripheral();
    int openMDPChannel();
    int closeMDPChannel();
    int activateStep(int function);
    // The data channel may be used: the flag is set and a port exists.
    bool channelOpen() const;
    void pauseAfterFailedWait();
    // Clears dataChannelOpen, closes the data port, disconnects it and deletes it, or leaves
    // the delete to the monitor thread if it has the port claimed. Never waits for the monitor.
    void discardDataPort(FramedPort* port);

    // Steps of the power, discovery and protocol layers (kest/power, kest/serial,
    // kest/protocol), all on the manager thread.
    int powerOn();
    int powerOff();
    // False while the ports of the last power-off (departingPorts) are still listed in
    // Drivers\Active and the wait for them has not run out.
    bool portsDeparted();
    // The handheld's AKU version text without its leading "."; empty when it cannot be read.
    std::string readAkuVersion();
    int handlePowerNotifications();
    int DiscoverDataPort();
    int versionStep();
    // Clears the version record and versionReceived (manager thread).
    void clearVersion();
    // Writes the known version through the pointers that are not null; false, writing nothing,
    // while none is known.
    bool readVersion(int* major, int* minor, char* text);
    int downloadStep();
    void sendActivatePeripheral(BYTE code);
    void sendVersionRequest();
    void sendFileDownloadRequest();
    // On the monitor thread, acknowledging the FileData block of that sequence number.
    void sendDataResponse(BYTE sequence, BYTE status);

    // Every status text of the library goes through reportStatus, on whichever thread reports.
    void reportStatus(const char* text);
    // printf-style, cut to the 64-byte buffer every status text of the library is built in.
    void reportFormatted(const char* format, ...) KEST_PRINTF_FORMAT(2, 3);
    // The text-line handler the manager connects, with itself as target, to each of its ports.
    static void forwardPortMessage(DeviceManager* manager, const char* text);
    // The frame handler the manager connects, with itself as target, to the data port
    // (kest/protocol); runs on the monitor thread.
    static void handleMessage(DeviceManager* manager, const Frame* frame);

    // The received messages (kest/protocol), on the monitor thread. Each is given the payload,
    // code byte first, and its length, and reads nothing past it.
    void handleVersionResponse(const BYTE* payload, int length);
    void handleEvent(const BYTE* payload, int length);
    void handleFileUploadResponse(const BYTE* payload, int length);
    void handleFileDownloadResponse(const BYTE* payload, int length);
    void handleFileData(const BYTE* payload, int length);
    // False, with a status text naming the message, when the payload is shorter than needed.
    bool payloadHolds(const char* message, int length, int needed);

    // The file download (kest/protocol/file_download.cpp), on the monitor thread.
    // Takes size and checksum from a FileDownloadResponse of at least 11 bytes that answers the
    // request of download `transfer`, and allocates the buffer; a size that cannot be taken
    // ends the download instead. An open transfer starts over.
    void openTransfer(const BYTE* payload, std::uint32_t transfer);
    // False, with downloadPath left empty, when the name header holds a name that could leave
    // the download directory or that the file system rejects.
    bool buildDownloadPath();
    bool createDownloadDirectories();
    // Reports the line, then, if `transfer` is still the current transfer, publishes the end
    // through downloadDone and wakes the manager.
    void endDownload(const char* line, std::uint32_t transfer);
    // The generation of the download the manager has asked for and that has not ended; none
    // when nothing is asked, and the peripheral's announcements are then dropped.
    std::optional<std::uint32_t> askedTransfer();
    // Starts a new transfer record and asks for it (manager thread, before FileDownloadRequest).
    void clearTransfer();
    // The data channel closes under the download: the transfer ends for good. Nothing the
    // peripheral sends for it is taken any more, and an end the monitor thread is still
    // writing no longer counts; the file of a transfer whose last block was in is still written.
    void abandonTransfer();
    // The close: the transfer is abandoned and downloadDone cleared for the next session.
    void forgetDownload();

    // Device state and request.
    std::atomic<DWORD> requestedState{1};
    std::atomic<int> currentState{1};

    // Settings written by the exports.
    std::atomic<BYTE> versionRequested{0};
    std::atomic<BYTE> downloadRequested{1};
    std::atomic<BYTE> autoRecoverOnSuspend{0};
    std::atomic<BYTE> autoRecoverOnCradle{0};

    // Published by the monitor thread's message handlers: a thread that loads the flag with
    // acquire order and sees it set also sees the fields written before it.
    std::atomic<BYTE> versionReceived{0};
    std::atomic<BYTE> downloadDone{0};
    std::atomic<BYTE> powerCycleNeeded{0};

    // The version record: filled in by the monitor thread's VersionResponse handler, cleared by
    // the manager thread, read by KEST_GetVersionInfo. versionLock guards the fields and every
    // change of versionReceived, so that a reader takes flag and fields as one snapshot. It is
    // never held across a port call or a status report.
    CriticalSection versionLock;
    int versionMajor = 0;
    DWORD versionMinor = 0;
    char versionText[13] = {};
    int serialNumber = 0;

    DWORD activeFunction = 0;  // 0 none, else the function last activated; manager thread only

    std::atomic<int> timeoutSeconds{0};
    char dataPortName[20] = {};  // manager thread only

    HANDLE managerThread = nullptr;
    HANDLE wakeEvent = nullptr;         // auto-reset, initially signalled
    HANDLE monitorWakeEvent = nullptr;  // auto-reset, initially not signalled
    HANDLE requestDoneEvent = nullptr;  // manual-reset, initially not signalled
    HANDLE powerQueue = nullptr;
    MSGQUEUEOPTIONS powerQueueOptions = {};
    HANDLE powerNotifications = nullptr;

    // The request hand-over. The result is 1 while a request waits and 0 once it is fulfilled.
    std::atomic<int> requestResult{0};
    std::atomic<BYTE> requestPending{0};
    // Each request gets a new generation; the manager's completion check records the generation
    // it fulfilled, so a completion meant for a request that already gave up never fulfils the
    // next one.
    std::atomic<std::uint32_t> requestGeneration{0};
    std::atomic<std::uint32_t> fulfilledGeneration{0};

    // Written by handlePowerNotifications just before each pass; manager thread only.
    BYTE systemSuspended = 0;
    BYTE inCradle = 0;

    BYTE lastStatus = 0;  // monitor thread only

    // The transfer record (kest/protocol), from here to transferOpen: cleared by the download
    // step on the manager thread, filled in by the transfer's messages on the monitor thread,
    // read by KEST_GetDownloadInfo. transferLock guards the fields and every change of
    // downloadDone and transferOpen, so that a reader takes the counts and the flag of one
    // transfer; it is never held across a port call or a status report. transferGeneration
    // counts the downloads started and abandoned: once the monitor thread has let go of the
    // lock, it tells whether the transfer it worked on is still the current one.
    CriticalSection transferLock;
    std::uint32_t transferGeneration = 0;
    // Set from the FileDownloadRequest until the download ends or is abandoned: only then is an
    // announcement the answer to a request.
    bool downloadAsked = false;
    char downloadPath[64] = {};
    std::atomic<int> bytesReceived{0};
    std::atomic<int> fileSize{0};
    DWORD expectedChecksum = 0;
    int writeIndex = 0;
    BYTE blockSequence = 0;
    std::unique_ptr<BYTE[]> downloadBuffer;
    DWORD runningChecksum = 0;  // unsigned: the sum wraps modulo 2^32
    // Set while an asked transfer is announced and its last block is not in: only then may a
    // FileData block touch the transfer fields.
    std::atomic<BYTE> transferOpen{0};

    FramedPort* powerPort = nullptr;  // owned; manager thread only
    // Owned. Created on the manager thread and deleted there, unless the monitor thread has it
    // claimed (claimDataPort) at the time: then the monitor deletes it as the claim ends.
    std::atomic<FramedPort*> dataPort{nullptr};
    DWORD portsBeforePowerOn = 0;
    // The ports that came up while the peripheral had power, noted as a power-off cuts it (at
    // powerOffTick), until the next power-on sees them gone; manager thread only.
    DWORD departingPorts = 0;
    DWORD powerOffTick = 0;
    // Set by a pass whose power-on waits for departingPorts, so that the next pass follows soon.
    bool awaitingPortDeparture = false;

    std::atomic<BYTE> managerRunning{1};
    HANDLE monitorThread = nullptr;
    std::atomic<BYTE> monitorRunning{1};
    std::atomic<BYTE> dataChannelOpen{0};

    CallbackList statusObservers;
    CallbackList stateObservers;

    // The monitor thread's claim on the data port for one wait and what it brings: the reads
    // and the frame handlers they run, which may call the application. portUseLock guards only
    // the claim and its hand-over and is never held across a call on the port or a handler, so
    // the manager never waits on the monitor: whoever discards the data port clears
    // dataChannelOpen, closes the port (which ends the monitor's wait or read) and leaves a
    // claimed port to the monitor, which deletes it as the claim ends. No new data port is
    // opened before that, so a frame handler can only ever send on the port it was read from.
    CriticalSection portUseLock;
    FramedPort* claimedPort = nullptr;
    bool claimedPortDiscarded = false;
    // Set while the monitor thread has the data port claimed; read only on that thread, by
    // destroy.
    bool monitorInPort = false;

    // The next detached manager waiting for the export calls under way to leave (retireManager).
    DeviceManager* nextRetired = nullptr;

  private:
    ~DeviceManager();
    friend void freeRetiredManagers();

    // Called by each thread routine as the last thing it does: the last thread to end frees the
    // manager if destroy was called on one of the manager's own threads; otherwise it sets the
    // thread's done event, after which the thread touches nothing of the manager. If destroy was
    // called on another thread the thread then sleeps until destroy ends it; otherwise (destroy
    // on one of its own threads, or no destroy) it leaves through ExitThread.
    [[noreturn]] void threadEnded(HANDLE done, DWORD exitCode);
    // Returns once the thread has left the library's code for good (see threadAttached).
    static void awaitThreadOut(HANDLE thread, HANDLE done, const std::atomic<bool>& attached);
    void stopThreads();
    bool onOwnThread() const;
    void startThreads();
    // Creates the thread's done event, then the thread; null when either cannot be created.
    HANDLE startThread(LPTHREAD_START_ROUTINE routine, HANDLE& done, DWORD& id);
    // Each thread routine passes the gate first: the constructor holds it until both threads'
    // handles and ids are stored.
    void passStartGate();

    // Manual-reset, set by threadEnded; a thread is started only if its event exists.
    HANDLE managerDone = nullptr;
    HANDLE monitorDone = nullptr;
    DWORD managerThreadId = 0;
    DWORD monitorThreadId = 0;
    std::atomic<bool> managerAttached{false};
    std::atomic<bool> monitorAttached{false};
    std::atomic<int> threadsRunning{0};
    std::atomic<bool> freedByLastThread{false};
    // Set by a destroy on another thread, which ends the threads once their done events are set.
    std::atomic<bool> endedByDestroy{false};
    CriticalSection startGate;
};

}  // namespace kest

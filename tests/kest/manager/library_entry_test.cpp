#include "manager/library_entry.h"

#include <gtest/gtest.h>
#include <host/handles.h>
#include <host/power.h>
#include <kest.h>

#include <chrono>
#include <cstring>

#include "application_recorder.h"
#include "attached_library.h"
#include "fresh_registry.h"
#include "manager/application_bridge.h"
#include "manager/device_manager.h"
#include "peripheral/peripheral.h"
#include "thread_count.h"
#include "wait_until.h"

namespace {

using kest::applicationBridge;
using kest::deviceManager;
using kest_test::ApplicationRecorder;
using kest_test::AttachedLibrary;

BOOL enter(DWORD reason) {
    return DllMain(nullptr, reason, nullptr);
}

TEST(LibraryEntry, ProcessAttachCreatesTheManagerAndTheBridge) {
    ASSERT_EQ(deviceManager.load(), nullptr);
    EXPECT_EQ(enter(DLL_PROCESS_ATTACH), TRUE);
    kest::DeviceManager* manager = deviceManager.load();
    ASSERT_NE(manager, nullptr);
    ASSERT_NE(applicationBridge, nullptr);
    EXPECT_FALSE(manager->statusObservers.empty()) << "the bridge is connected";
    EXPECT_FALSE(manager->stateObservers.empty());

    EXPECT_EQ(enter(DLL_PROCESS_DETACH), TRUE);
    EXPECT_EQ(deviceManager.load(), nullptr);
    EXPECT_EQ(applicationBridge, nullptr);
}

TEST(LibraryEntry, ThreadAttachBeforeAnyProcessAttachCreatesBoth) {
    kest::processDetached.store(false);  // as in a library just loaded
    EXPECT_EQ(enter(DLL_THREAD_ATTACH), TRUE);
    EXPECT_NE(deviceManager.load(), nullptr);
    EXPECT_NE(applicationBridge, nullptr);
    EXPECT_EQ(enter(DLL_PROCESS_DETACH), TRUE);
    EXPECT_EQ(deviceManager.load(), nullptr);
}

// A thread that the loader lets in after the process detach has begun, or after it, finds the
// library on its way out: it must not bring back a manager with threads of its own.
TEST(LibraryEntry, AThreadAttachAfterTheProcessDetachCreatesNothing) {
    const std::size_t handles = host::liveHandleCount();
    ASSERT_EQ(enter(DLL_PROCESS_ATTACH), TRUE);
    ASSERT_EQ(enter(DLL_PROCESS_DETACH), TRUE);
    EXPECT_EQ(enter(DLL_THREAD_ATTACH), TRUE);
    EXPECT_EQ(deviceManager.load(), nullptr);
    EXPECT_EQ(applicationBridge, nullptr);
    EXPECT_EQ(host::liveHandleCount(), handles);

    ASSERT_EQ(enter(DLL_PROCESS_ATTACH), TRUE);  // loaded again
    EXPECT_NE(deviceManager.load(), nullptr);
    EXPECT_EQ(enter(DLL_PROCESS_DETACH), TRUE);
}

TEST(LibraryEntry, LaterAttachesCreateNothing) {
    AttachedLibrary library;
    kest::DeviceManager* manager = deviceManager.load();
    kest::ApplicationBridge* bridge = applicationBridge;
    const std::size_t handles = host::liveHandleCount();

    EXPECT_EQ(enter(DLL_PROCESS_ATTACH), TRUE);
    EXPECT_EQ(enter(DLL_THREAD_ATTACH), TRUE);
    EXPECT_EQ(enter(DLL_THREAD_DETACH), TRUE);

    EXPECT_EQ(deviceManager.load(), manager);
    EXPECT_EQ(applicationBridge, bridge);
    EXPECT_EQ(host::liveHandleCount(), handles);
    // Still one bridge entry per list: one removal empties each.
    EXPECT_EQ(manager->statusObservers.remove(
                  bridge, kest::callback<&kest::ApplicationBridge::statusMessageEventHandler>),
              0);
    EXPECT_TRUE(manager->statusObservers.empty());
    bridge->connect(*manager);
}

TEST(LibraryEntry, ThreadDetachAndAStrayProcessDetachDoNothing) {
    EXPECT_EQ(enter(DLL_THREAD_DETACH), TRUE);
    EXPECT_EQ(deviceManager.load(), nullptr);
    EXPECT_EQ(enter(DLL_PROCESS_DETACH), TRUE);
    EXPECT_EQ(deviceManager.load(), nullptr);
    EXPECT_EQ(enter(0x7F), TRUE) << "an unknown reason";
}

TEST(LibraryEntry, ConstructionRegistersForPowerNotificationsAndDetachLetsGo) {
    const std::size_t before = host::power::registrationCount();
    {
        AttachedLibrary library;
        EXPECT_EQ(host::power::registrationCount(), before + 1);
        const kest::DeviceManager& manager = library.manager();
        EXPECT_NE(manager.wakeEvent, nullptr);
        EXPECT_NE(manager.monitorWakeEvent, nullptr);
        EXPECT_NE(manager.requestDoneEvent, nullptr);
        EXPECT_NE(manager.powerQueue, nullptr);
        EXPECT_NE(manager.managerThread, nullptr);
        EXPECT_NE(manager.monitorThread, nullptr);
        EXPECT_EQ(manager.powerQueueOptions.dwSize, 20u);
        EXPECT_EQ(manager.powerQueueOptions.dwFlags, static_cast<DWORD>(MSGQUEUE_NOPRECOMMIT));
        EXPECT_EQ(manager.powerQueueOptions.dwMaxMessages, 32u);
        EXPECT_EQ(manager.powerQueueOptions.cbMaxMessage, 512u);
        EXPECT_EQ(manager.powerQueueOptions.bReadAccess, TRUE);
    }
    EXPECT_EQ(host::power::registrationCount(), before);
}

TEST(LibraryEntry, FieldsStartAtTheirInitialValues) {
    AttachedLibrary library;
    const kest::DeviceManager& manager = library.manager();
    EXPECT_EQ(manager.requestedState.load(), 1u);
    EXPECT_EQ(manager.currentState.load(), 1);
    EXPECT_EQ(manager.versionRequested.load(), 0);
    EXPECT_EQ(manager.downloadRequested.load(), 1);
    EXPECT_EQ(manager.autoRecoverOnSuspend.load(), 0);
    EXPECT_EQ(manager.autoRecoverOnCradle.load(), 0);
    EXPECT_EQ(manager.versionReceived.load(), 0);
    EXPECT_EQ(manager.downloadDone.load(), 0);
    EXPECT_EQ(manager.timeoutSeconds.load(), 0);
    EXPECT_EQ(manager.dataPortName[0], '\0');
    EXPECT_EQ(manager.versionText[0], '\0');
    EXPECT_EQ(manager.requestPending.load(), 0);
    EXPECT_EQ(manager.requestResult.load(), 0);
    EXPECT_EQ(manager.dataPort.load(), nullptr);
    EXPECT_EQ(manager.powerPort, nullptr);
    EXPECT_EQ(manager.downloadBuffer, nullptr);
}

TEST(LibraryEntry, FirstPassAfterConstructionChangesNothing) {
    AttachedLibrary library;
    ApplicationRecorder application;
    kest::DeviceManager& manager = library.manager();
    // The request is fulfilled by the completion check of a pass that found nothing to do.
    ASSERT_EQ(manager.submitRequest(10000), kest::kRequestFulfilled);
    EXPECT_EQ(manager.currentState.load(), KEST_STATE_CLOSED);
    EXPECT_EQ(manager.requestedState.load(), static_cast<DWORD>(KEST_STATE_CLOSED));
    EXPECT_TRUE(application.states().empty()) << "no setState at all";
    for (const std::string& text : application.statuses()) {
        EXPECT_EQ(text.rfind("KEST state changed", 0), std::string::npos) << text;
    }
}

TEST(LibraryEntry, AThousandCyclesLeaveNoHandleBehind) {
    const std::size_t handles = host::liveHandleCount();
    const std::size_t registrations = host::power::registrationCount();
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_EQ(enter(DLL_PROCESS_ATTACH), TRUE);
        ASSERT_EQ(enter(DLL_PROCESS_DETACH), TRUE);
    }
    EXPECT_EQ(host::liveHandleCount(), handles);
    EXPECT_EQ(host::power::registrationCount(), registrations);
    EXPECT_EQ(deviceManager.load(), nullptr);
}

void detachOnReady(int state) {
    if (state == KEST_STATE_READY) DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
}

// Nothing ends the library's threads after a detach on one of them but their own exit: both must
// leave, the one that ran the detach too.
TEST(LibraryEntry, DetachFromAHandlerOnTheManagerThreadLeavesItToFreeTheManager) {
    const std::size_t handles = host::liveHandleCount();
    const std::size_t threads = kest_test::threadCount();
    ASSERT_EQ(enter(DLL_PROCESS_ATTACH), TRUE);
    kest::DeviceManager* manager = deviceManager.load();
    ASSERT_EQ(KEST_AddStateChangeHandler(detachOnReady), KEST_OK);
    // The next pass takes an answered version request back to the ready state, on the manager
    // thread, whose state-change handler then unloads the library.
    manager->versionReceived.store(1);
    manager->currentState = KEST_STATE_VERSION_PENDING;
    EventModify(manager->wakeEvent, EVENT_SET);

    EXPECT_TRUE(kest_test::waitUntil([] { return deviceManager.load() == nullptr; }));
    EXPECT_TRUE(kest_test::waitUntil([&] { return host::liveHandleCount() == handles; }))
        << "the manager thread freed the manager once both threads had ended";
    EXPECT_TRUE(kest_test::waitUntil([&] { return kest_test::threadCount() <= threads; }))
        << kest_test::threadCount() - threads << " more threads than before the attach";
    kest::applicationStateHandler.store(nullptr);
}

void detachOnPowered(int state) {
    if (state == KEST_STATE_POWERED) DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
}

void countOpenedPorts(std::atomic<int>* opened, const char* text) {
    if (std::strstr(text, " opened.") != nullptr) ++*opened;
}

// The pass used to go on after the detach: from the powered state it opened the data port that
// had just appeared, after destroy had cleared dataChannelOpen, so a monitor waiting on that port
// would have waited for ever.
TEST(LibraryEntry, DetachFromAHandlerOnTheManagerThreadEndsThePassAtOnce) {
    kest_test::FreshRegistry registry;
    sim::PeripheralOptions immediatePort;
    immediatePort.dataPortDelay = std::chrono::milliseconds(0);
    sim::Peripheral peripheral(immediatePort);
    peripheral.start();
    const std::size_t handles = host::liveHandleCount();
    ASSERT_EQ(enter(DLL_PROCESS_ATTACH), TRUE);
    std::atomic<int> opened{0};
    deviceManager.load()->statusObservers.add(&opened, kest::callback<&countOpenedPorts>);
    ASSERT_EQ(KEST_AddStateChangeHandler(detachOnPowered), KEST_OK);

    EXPECT_EQ(KEST_Open(0, 0, 0), KEST_NOT_DONE);
    EXPECT_TRUE(kest_test::waitUntil([] { return deviceManager.load() == nullptr; }));
    EXPECT_TRUE(kest_test::waitUntil([&] { return host::liveHandleCount() == handles; }))
        << "the manager is freed once both threads have ended";
    EXPECT_EQ(opened.load(), 0) << "no data port is opened after the detach";
    kest::applicationStateHandler.store(nullptr);
}

// The application's own call waits for the open while a handler on the manager thread unloads
// the library: the call ends as the threads stop, and the manager is freed once it has left.
TEST(LibraryEntry, ACallWaitingWhenAHandlerDetachesEndsBeforeTheManagerIsFreed) {
    kest_test::FreshRegistry registry;
    sim::Peripheral peripheral;
    peripheral.start();
    const std::size_t handles = host::liveHandleCount();
    ASSERT_EQ(enter(DLL_PROCESS_ATTACH), TRUE);
    ASSERT_EQ(KEST_AddStateChangeHandler(detachOnPowered), KEST_OK);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KEST_Open(0, 0, 10), KEST_NOT_DONE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << "ended by the detach, not by its own time-out";
    EXPECT_EQ(deviceManager.load(), nullptr);
    EXPECT_TRUE(kest_test::waitUntil([&] { return host::liveHandleCount() == handles; }));
    kest::applicationStateHandler.store(nullptr);
}

TEST(LibraryEntry, ExportsAfterDetachSeeNoManager) {
    { AttachedLibrary library; }
    EXPECT_EQ(KEST_Open(1, 1, 1), KEST_NO_DEVICE);
    EXPECT_EQ(KEST_GetState(), 0);
}

}  // namespace

#include "manager/application_bridge.h"

#include <gtest/gtest.h>
#include <kest.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "application_recorder.h"
#include "attached_library.h"
#include "manager/device_manager.h"
#include "manager/library_entry.h"

namespace {

using kest::ApplicationBridge;
using kest_test::ApplicationRecorder;
using kest_test::AttachedLibrary;

// A status observer next to the bridge, to see what reaches the manager's other observers
// (the library's threads report to it as well).
struct Probe {
    int count(const std::string& text) {
        std::lock_guard guard(lock);
        return static_cast<int>(std::count(texts.begin(), texts.end(), text));
    }

    std::mutex lock;
    std::vector<std::string> texts;
};

void probeStatus(Probe* probe, const char* text) {
    std::lock_guard guard(probe->lock);
    probe->texts.emplace_back(text);
}

void throwingStateHandler(int) {
    throw std::runtime_error("application fault");
}
void throwingStatusHandler(const char*) {
    throw 42;
}

TEST(ApplicationBridge, ReachesTheApplicationsHandlersOnceAttached) {
    AttachedLibrary library;
    ApplicationRecorder application;
    library.manager().reportStatus("hello");
    library.manager().stateObservers.invoke(kest::toWord(KEST_STATE_READY));
    EXPECT_EQ(application.statusCount("hello"), 1);
    EXPECT_EQ(application.states(), std::vector<int>{KEST_STATE_READY});
}

TEST(ApplicationBridge, ThrowingStateHandlerIsReportedToTheApplicationOnly) {
    Probe probe;  // outlives the library's threads, which may still be walking past it
    AttachedLibrary library;
    ApplicationRecorder application;
    library.manager().statusObservers.add(&probe, kest::callback<&probeStatus>);
    ASSERT_EQ(KEST_AddStateChangeHandler(throwingStateHandler), KEST_OK);

    library.manager().stateObservers.invoke(kest::toWord(KEST_STATE_POWERED));

    EXPECT_EQ(application.statusCount("exception in stateChangedEventHandler()"), 1);
    EXPECT_EQ(probe.count("exception in stateChangedEventHandler()"), 0)
        << "the other status observers never hear of it";
    KEST_RemoveStateChangeHandler();
}

TEST(ApplicationBridge, ThrowingStatusHandlerIsDropped) {
    Probe probe;  // outlives the library's threads, which may still be walking past it
    AttachedLibrary library;
    library.manager().statusObservers.add(&probe, kest::callback<&probeStatus>);
    ASSERT_EQ(KEST_AddStatusMessageHandler(throwingStatusHandler), KEST_OK);
    ASSERT_EQ(KEST_AddStateChangeHandler(throwingStateHandler), KEST_OK);

    library.manager().reportStatus("first");
    library.manager().stateObservers.invoke(kest::toWord(KEST_STATE_POWERED));

    // The bridge entry is the newest, so the probe comes after it: it still got its text.
    EXPECT_EQ(probe.count("first"), 1);
    KEST_RemoveStatusMessageHandler();
    KEST_RemoveStateChangeHandler();
}

TEST(ApplicationBridge, WithoutHandlersEverythingIsDroppedSilently) {
    kest::applicationStatusHandler.store(nullptr);
    kest::applicationStateHandler.store(nullptr);
    ApplicationBridge::statusMessageEventHandler(nullptr, "nobody listens");
    ApplicationBridge::stateChangedEventHandler(nullptr, KEST_STATE_CLOSED);
}

TEST(ApplicationBridge, ReplacedHandlerTakesEffectForTheNextMessage) {
    AttachedLibrary library;
    ApplicationRecorder application;
    library.manager().reportStatus("to the recorder");
    ASSERT_EQ(KEST_AddStatusMessageHandler(throwingStatusHandler), KEST_OK);
    library.manager().reportStatus("to the replacement");
    ASSERT_EQ(KEST_RemoveStatusMessageHandler(), KEST_OK);
    library.manager().reportStatus("to nobody");
    EXPECT_EQ(application.statusCount("to the recorder"), 1);
    EXPECT_EQ(application.statusCount("to the replacement"), 0);
    EXPECT_EQ(application.statusCount("to nobody"), 0);
}

TEST(ApplicationBridge, DisconnectedBridgeHearsNothing) {
    AttachedLibrary library;
    ApplicationRecorder application;
    ASSERT_NE(kest::applicationBridge, nullptr);
    kest::applicationBridge->disconnect(library.manager());
    library.manager().reportStatus("unheard");
    library.manager().stateObservers.invoke(kest::toWord(KEST_STATE_READY));
    EXPECT_EQ(application.statusCount("unheard"), 0);
    EXPECT_TRUE(application.states().empty());

    kest::applicationBridge->connect(library.manager());
    library.manager().reportStatus("heard");
    EXPECT_EQ(application.statusCount("heard"), 1);
}

}  // namespace

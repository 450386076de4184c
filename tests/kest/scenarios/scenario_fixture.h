// The library driven through its exports only, against a started simulated peripheral whose
// data port comes up the moment it is powered, at the lowest free COM number.
#pragma once

#include <gtest/gtest.h>
#include <kest.h>

#include <chrono>
#include <string>
#include <vector>

#include "application_recorder.h"
#include "attached_library.h"
#include "fresh_registry.h"
#include "monitor_lines.h"
#include "peripheral/peripheral.h"

namespace kest_test {

class Scenario : public ::testing::Test {
  protected:
    explicit Scenario(
        sim::PeripheralOptions options = {.dataPortDelay = std::chrono::milliseconds{0}})
        : peripheral(options) {
        peripheral.start();
    }

    // KEST_Open without version or download, and the ready state it reaches; then forgets what
    // the application has seen so far.
    void openReady() {
        ASSERT_EQ(KEST_Open(0, 0, kOpenTimeoutSeconds), KEST_OK);
        ASSERT_EQ(KEST_GetState(), KEST_STATE_READY);
        application.clear();
    }

    // What the application has been told, without the monitor thread's lines.
    std::vector<std::string> managerLines() const {
        return withoutMonitorLines(application.statuses());
    }

    std::string dataPortName() const {
        return "COM" + std::to_string(peripheral.dataPortNumber()) + ":";
    }

    static constexpr int kOpenTimeoutSeconds = 10;

    FreshRegistry registry;
    sim::Peripheral peripheral;
    AttachedLibrary library;
    ApplicationRecorder application;
};

}  // namespace kest_test

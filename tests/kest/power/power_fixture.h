// A library whose manager thread the test plays, with a simulated peripheral behind "COM1:"
// whose data port comes up the moment it is powered. The registry starts from its built-in
// contents (AKU ".2.0", no active drivers) and is put back afterwards.
#pragma once

#include <gtest/gtest.h>
#include <host/serial.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "application_recorder.h"
#include "attached_library.h"
#include "fresh_registry.h"
#include "manager/device_manager.h"
#include "peripheral/peripheral.h"

namespace kest_test {

class PowerSteps : public ::testing::Test {
  protected:
    PowerSteps();

    kest::DeviceManager& manager() const { return library.manager(); }
    // Merges .reg lines (no header) over the registry.
    static void loadRegistry(std::string_view lines);
    // Powers the peripheral and opens its data channel, as the first pass of an open does, then
    // forgets what the application has seen so far.
    void powerAndOpenChannel();
    std::string dataPortName() const;
    // What the application has been told, without the monitor thread's lines.
    std::vector<std::string> managerLines() const;

    FreshRegistry registry;
    sim::Peripheral peripheral{{.dataPortDelay = std::chrono::milliseconds{0}}};
    AttachedLibrary library;
    ApplicationRecorder application;
};

}  // namespace kest_test

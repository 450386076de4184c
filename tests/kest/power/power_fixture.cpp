#include "power_fixture.h"

#include <host/registry.h>
#include <kest.h>

#include "monitor_lines.h"
#include "stopped_manager_thread.h"

namespace kest_test {

PowerSteps::PowerSteps() {
    EXPECT_TRUE(stopManagerThread(manager()));
}

void PowerSteps::loadRegistry(std::string_view lines) {
    const std::string text = "REGEDIT4\n\n" + std::string(lines) + "\n";
    const host::registry::LoadResult loaded = host::registry::loadText(text);
    ASSERT_TRUE(loaded) << loaded.error;
}

void PowerSteps::powerAndOpenChannel() {
    peripheral.start();
    ASSERT_EQ(manager().powerOn(), kest::kStepDone);
    ASSERT_EQ(manager().openMDPChannel(), kest::kStepDone);
    ASSERT_EQ(manager().currentState.load(), KEST_STATE_READY);
    application.clear();
}

std::string PowerSteps::dataPortName() const {
    return "COM" + std::to_string(peripheral.dataPortNumber()) + ":";
}

std::vector<std::string> PowerSteps::managerLines() const {
    return withoutMonitorLines(application.statuses());
}

}  // namespace kest_test

#include "demo.h"

#include <iostream>
#include <string>
#include <vector>

#include "script.h"

namespace kest_tool {
namespace {

// The flags the demo opens the peripheral with. They become 1 (ask for the version, fetch the
// file) once the simulated peripheral answers VersionRequest and serves its file.
constexpr int kDemoVersionRequested = 0;
constexpr int kDemoDownloadRequested = 0;
constexpr int kDemoTimeoutSeconds = 10;

std::vector<std::string> demoSteps() {
    return {
        "open " + std::to_string(kDemoVersionRequested) + " " +
            std::to_string(kDemoDownloadRequested) + " " + std::to_string(kDemoTimeoutSeconds),
        "wait-state 4 0",  // KEST_Open returned 0, so the peripheral is ready now
        "close",
        "wait-state 1 " + std::to_string(kDemoTimeoutSeconds * 1000),
    };
}

}  // namespace

int runDemo(CommandContext& context) {
    for (const std::string& step : demoSteps()) {
        const LineOutcome outcome = runLine(step, context);
        if (outcome.kind != LineOutcome::Kind::Succeeded) {
            std::cerr << "kest: demo: step '" << step << "' did not succeed" << std::endl;
            return 1;
        }
    }
    return 0;
}

}  // namespace kest_tool

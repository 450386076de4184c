#include "monitor_lines.h"

#include <algorithm>
#include <iterator>

namespace kest_test {
namespace {

bool isMonitorLine(const std::string& text) {
    static const std::string kEventSuffix = " event";
    return text == "StartMonitorThread()" || text == "monitor()" ||
           text == "Waiting for comm event ..." || text == "WaitForEvent error" ||
           (text.starts_with("EV_") && text.ends_with(kEventSuffix));
}

}  // namespace

std::vector<std::string> withoutMonitorLines(const std::vector<std::string>& statuses) {
    std::vector<std::string> kept;
    std::copy_if(statuses.begin(), statuses.end(), std::back_inserter(kept),
                 [](const std::string& text) { return !isMonitorLine(text); });
    return kept;
}

}  // namespace kest_test

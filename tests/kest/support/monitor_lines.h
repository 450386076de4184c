// The status texts that the monitor thread reports while it waits on the data port come in at
// moments of their own; tests of the manager's sequence leave them out.
#pragma once

#include <string>
#include <vector>

namespace kest_test {

std::vector<std::string> withoutMonitorLines(const std::vector<std::string>& statuses);

}  // namespace kest_test

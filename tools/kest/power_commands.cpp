// The records are laid out as the platform's power manager writes them.
#include <host/power.h>
#include <pm.h>

#include <cstdint>
#include <vector>

#include "host_commands.h"
#include "shown_text.h"

namespace kest_tool {
namespace {

// As long as a wait-state waits by default: the library reads its queue between passes.
constexpr DWORD kReadWaitMs = 10000;

// The command returns once the library has read the record and come back for more, so that a
// later command of the script comes after the record's effect, every run alike.
CommandResult broadcast(const std::vector<std::uint8_t>& record) {
    const std::size_t queues = host::power::broadcast(record.data(), record.size());
    const bool read = host::power::waitUntilRead(kReadWaitMs);
    return {queues > 0 && read ? 0 : 1, {{"queues", static_cast<std::int64_t>(queues)}}};
}

POWER_BROADCAST_POWER_INFO powerInfo(bool acOnline) {
    POWER_BROADCAST_POWER_INFO info{};
    info.bACLineStatus = acOnline ? AC_LINE_ONLINE : AC_LINE_OFFLINE;
    info.bBatteryFlag = acOnline ? BATTERY_FLAG_CHARGING : BATTERY_FLAG_HIGH;
    info.bBatteryLifePercent = 80;
    // The backup battery charges only on external power.
    info.bBackupBatteryFlag = acOnline ? BATTERY_FLAG_CHARGING : BATTERY_FLAG_HIGH;
    info.bBackupBatteryLifePercent = 100;
    return info;
}

}  // namespace

CommandResult suspendCommand(std::span<const std::string>, CommandContext&) {
    return broadcast(host::power::makeRecord(PBT_TRANSITION, POWER_STATE_SUSPEND));
}

CommandResult resumeCommand(std::span<const std::string>, CommandContext&) {
    return broadcast(host::power::makeRecord(PBT_RESUME, 0));
}

CommandResult cradleCommand(std::span<const std::string> arguments, CommandContext&) {
    if (arguments[0] != "in" && arguments[0] != "out")
        throw UsageError("expected in or out, not '" + tool_text::excerpt(arguments[0]) + "'");
    return broadcast(host::power::makePowerInfoRecord(powerInfo(arguments[0] == "in")));
}

}  // namespace kest_tool

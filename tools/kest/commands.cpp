#include "commands.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <filesystem>
#include <optional>
#include <thread>

#include "host_commands.h"
#include "kest.h"
#include "library_handlers.h"
#include "number.h"
#include "shown_text.h"

namespace kest_tool {
namespace {

using Arguments = std::span<const std::string>;

constexpr std::int64_t kDefaultWaitStateMs = 10000;
constexpr char kCreatedFile[] = "Created file:";

// The numeric arguments of one command: every bad one is noted, so that the message names
// them all, not only the first.
class Numbers {
  public:
    std::int64_t integer(const std::string& text, std::string_view name, std::int64_t min,
                         std::int64_t max) {
        const std::optional<std::int64_t> value = tool_text::parseNumber(text);
        if (value && *value >= min && *value <= max) return *value;
        errors_ += (errors_.empty() ? "" : "; ") + std::string(name) + " must be an integer from " +
                   std::to_string(min) + " to " + std::to_string(max) + ", not '" +
                   tool_text::excerpt(text) + "'";
        return min;
    }
    int integer(const std::string& text, std::string_view name) {
        return static_cast<int>(integer(text, name, INT_MIN, INT_MAX));
    }
    // Flags are stored by the library as one byte.
    unsigned char flag(const std::string& text, std::string_view name) {
        return static_cast<unsigned char>(integer(text, name, 0, 255));
    }
    std::chrono::milliseconds milliseconds(const std::string& text, std::string_view name) {
        return std::chrono::milliseconds(integer(text, name, 0, INT_MAX));
    }
    // Throws UsageError when an argument was bad.
    void check() const {
        if (!errors_.empty()) throw UsageError(errors_);
    }

  private:
    std::string errors_;
};

// One argument alone.
int intArgument(const std::string& text, std::string_view name) {
    Numbers numbers;
    const int value = numbers.integer(text, name);
    numbers.check();
    return value;
}

unsigned char flagArgument(const std::string& text, std::string_view name) {
    Numbers numbers;
    const unsigned char value = numbers.flag(text, name);
    numbers.check();
    return value;
}

std::chrono::milliseconds millisecondsArgument(const std::string& text, std::string_view name) {
    Numbers numbers;
    const auto value = numbers.milliseconds(text, name);
    numbers.check();
    return value;
}

bool isZero(int code) {
    return code == KEST_OK;
}
// KEST_Close and KEST_Disable do not wait, so 1 is what they return when all goes well.
bool isZeroOrNotDone(int code) {
    return code == KEST_OK || code == KEST_NOT_DONE;
}
// 0 is what KEST_GetState returns without a library.
bool isState(int code) {
    return code != 0;
}

CommandResult codeOnly(int code) {
    return {code, {}};
}

CommandResult open(Arguments a, CommandContext& context) {
    Numbers numbers;
    const unsigned char version = numbers.flag(a[0], "V");
    const unsigned char download = numbers.flag(a[1], "D");
    const int seconds = numbers.integer(a[2], "T");
    numbers.check();
    context.downloadMark = statusMark();
    return codeOnly(KEST_Open(version, download, seconds));
}

CommandResult close(Arguments, CommandContext&) {
    return codeOnly(KEST_Close());
}
CommandResult disable(Arguments, CommandContext&) {
    return codeOnly(KEST_Disable());
}
CommandResult enable(Arguments a, CommandContext&) {
    return codeOnly(KEST_Enable(intArgument(a[0], "TYPE")));
}
CommandResult download(Arguments, CommandContext& context) {
    context.downloadMark = statusMark();
    return codeOnly(KEST_DownloadFile());
}
CommandResult state(Arguments, CommandContext&) {
    return codeOnly(KEST_GetState());
}

CommandResult version(Arguments, CommandContext&) {
    int major = 0;
    int minor = 0;
    char text[13] = {};
    const int code = KEST_GetVersionInfo(&major, &minor, text);
    return {code, {{"major", major}, {"minor", minor}, {"text", std::string(text)}}};
}

CommandResult downloadInfo(Arguments, CommandContext&) {
    int received = 0;
    int total = 0;
    const int code = KEST_GetDownloadInfo(nullptr, &received, &total);
    return {code, {{"received", received}, {"total", total}}};
}

// The settings: with arguments they are set, and either way the value held afterwards is shown.
CommandResult timeout(Arguments a, CommandContext&) {
    const int code = a.empty() ? KEST_OK : KEST_SetTimeout(intArgument(a[0], "S"));
    return {code, {{"seconds", KEST_GetTimeout()}}};
}

CommandResult versionReq(Arguments a, CommandContext&) {
    const int code = a.empty() ? KEST_OK : KEST_SetVersionReq(flagArgument(a[0], "F"));
    return {code, {{"flag", KEST_GetVersionReq()}}};
}

CommandResult downloadReq(Arguments a, CommandContext&) {
    const int code = a.empty() ? KEST_OK : KEST_SetDownloadReq(flagArgument(a[0], "F"));
    return {code, {{"flag", KEST_GetDownloadReq()}}};
}

CommandResult autoRecover(Arguments a, CommandContext&) {
    if (a.size() == 1) throw UsageError("autorecover takes no argument or both SUSPEND and CRADLE");
    int code = KEST_OK;
    if (a.size() == 2) {
        Numbers numbers;
        const unsigned char onSuspend = numbers.flag(a[0], "SUSPEND");
        const unsigned char onCradle = numbers.flag(a[1], "CRADLE");
        numbers.check();
        code = KEST_SetAutoRecover(onSuspend, onCradle);
    }
    unsigned char onSuspend = 0;
    unsigned char onCradle = 0;
    const int got = KEST_GetAutoRecover(&onSuspend, &onCradle);
    return {code == KEST_OK ? got : code, {{"suspend", onSuspend}, {"cradle", onCradle}}};
}

CommandResult sleep(Arguments a, CommandContext&) {
    std::this_thread::sleep_for(millisecondsArgument(a[0], "MS"));
    return codeOnly(0);
}

CommandResult waitState(Arguments a, CommandContext&) {
    Numbers numbers;
    const int wanted =
        static_cast<int>(numbers.integer(a[0], "N", KEST_STATE_CLOSED, KEST_STATE_ENABLED_3));
    const auto limit = a.size() > 1 ? numbers.milliseconds(a[1], "MS")
                                    : std::chrono::milliseconds(kDefaultWaitStateMs);
    numbers.check();
    const bool reached = waitForState(wanted, limit);
    return {reached ? 0 : 1, {{"state", KEST_GetState()}}};
}

// Each wait looks at the texts reported since the previous one ended, so that a script can wait
// for a text the library gave while an earlier command ran, but not count it twice.
CommandResult waitStatus(Arguments a, CommandContext&) {
    static std::uint64_t since = 0;
    const auto limit = millisecondsArgument(a[0], "MS");
    std::string text;
    for (const std::string& word : a.subspan(1)) text += (text.empty() ? "" : " ") + word;
    const bool seen = waitForStatus(text, since, limit);
    since = statusMark();
    return codeOnly(seen ? 0 : 1);
}

// The path the library reported after "Created file:" since the mark, as the handheld names it.
std::optional<std::string> createdFile(std::uint64_t mark) {
    const std::vector<std::string> statuses = statusesSince(mark);
    const auto it = std::find(statuses.begin(), statuses.end(), kCreatedFile);
    if (it == statuses.end() || it + 1 == statuses.end()) return std::nullopt;
    return *(it + 1);
}

// \QUOX\RUV\calib.bin under the root directory that stands for the handheld's files.
std::filesystem::path hostPath(const std::string& root, std::string handheldPath) {
    std::replace(handheldPath.begin(), handheldPath.end(), '\\', '/');
    return std::filesystem::absolute(std::filesystem::path(root) / handheldPath).lexically_normal();
}

// The file the latest open or download created: path="QUOX\\RUV\\calib.bin"
// host="/.../QUOX/RUV/calib.bin" bytes=1000; 1 when it created none, or it is not there.
CommandResult file(Arguments, CommandContext& context) {
    const std::optional<std::string> path = createdFile(context.downloadMark);
    if (!path) return {1, {{"error", "no file created since the latest open or download"}}};
    const std::filesystem::path host = hostPath(context.root, *path);
    std::error_code error;
    const auto size = std::filesystem::file_size(host, error);
    CommandResult result{0,
                         {{"path", *path},
                          {"host", host.string()},
                          {"bytes", error ? std::int64_t{-1} : static_cast<std::int64_t>(size)}}};
    if (error) {
        result.code = 1;
        result.fields.push_back({"error", error.message()});
    }
    return result;
}

CommandResult help(Arguments, CommandContext&) {
    Console::instance().help(
        "Commands (one a line; # starts a comment; numbers decimal or "
        "0x-hexadecimal):\n" +
        commandHelp() + "Faults (peripheral fault NAME [N]):\n" + faultHelp());
    return codeOnly(0);
}

CommandResult quit(Arguments, CommandContext&) {
    return codeOnly(0);
}

constexpr std::array kCommands{
    Command{"open", "V D T", "KEST_Open(version flag, download flag, time-out in seconds)", 3, 3,
            open, isZero},
    Command{"close", "", "KEST_Close(); returns 1 by design (it does not wait)", 0, 0, close,
            isZeroOrNotDone},
    Command{"disable", "", "KEST_Disable(); returns 1 by design (it does not wait)", 0, 0, disable,
            isZeroOrNotDone},
    Command{"enable", "TYPE", "KEST_Enable(TYPE): 1, 2 or 3 activate a function", 1, 1, enable,
            isZero},
    Command{"download", "", "KEST_DownloadFile()", 0, 0, download, isZero},
    Command{"version", "", "KEST_GetVersionInfo(): major, minor and text", 0, 0, version, isZero},
    Command{"downloadinfo", "", "KEST_GetDownloadInfo(): 0 once the download has ended", 0, 0,
            downloadInfo, isZero},
    Command{"state", "", "KEST_GetState(): the code is the state", 0, 0, state, isState},
    Command{"timeout", "[S]", "KEST_SetTimeout(S) if given; shows KEST_GetTimeout()", 0, 1, timeout,
            isZero},
    Command{"autorecover", "[SUSPEND CRADLE]",
            "KEST_SetAutoRecover(SUSPEND, CRADLE) if given; shows KEST_GetAutoRecover()", 0, 2,
            autoRecover, isZero},
    Command{"versionreq", "[F]", "KEST_SetVersionReq(F) if given; shows KEST_GetVersionReq()", 0, 1,
            versionReq, isZero},
    Command{"downloadreq", "[F]", "KEST_SetDownloadReq(F) if given; shows KEST_GetDownloadReq()", 0,
            1, downloadReq, isZero},
    Command{"sleep", "MS", "pause for MS milliseconds", 1, 1, sleep, isZero},
    Command{"wait-state", "N [MS]",
            "0 as soon as the state is N (at once if it is), 1 after MS ms (default 10000)", 1, 2,
            waitState, isZero},
    Command{"wait-status", "MS TEXT",
            "0 once the library reported TEXT since the last wait-status, 1 after MS ms", 2, 64,
            waitStatus, isZero},
    Command{"suspend", "", "broadcast a suspend (PBT_TRANSITION, POWER_STATE_SUSPEND)", 0, 0,
            suspendCommand, isZero},
    Command{"resume", "", "broadcast a resume (PBT_RESUME, Flags 0)", 0, 0, resumeCommand, isZero},
    Command{"cradle", "in|out",
            "broadcast PBT_POWERINFOCHANGE: AC online and charging, or offline on battery", 1, 1,
            cradleCommand, isZero},
    Command{"peripheral", "fault NAME [ARG] | fault none | send HEX... | log",
            "arm a fault of the simulated peripheral, send a frame from it, or show what it "
            "received",
            1, 256, peripheralCommand, isZero},
    Command{"file", "",
            "the file the latest open or download created (1: none, as after a failed download)", 0,
            0, file, isZero},
    Command{"help", "", "this list", 0, 0, help, isZero},
    Command{"quit", "", "end the shell (as the end of input does)", 0, 0, quit, isZero, true},
};

}  // namespace

std::span<const Command> commands() {
    return kCommands;
}

const Command* findCommand(std::string_view name) {
    const auto it = std::find_if(kCommands.begin(), kCommands.end(),
                                 [&](const Command& c) { return c.name == name; });
    return it == kCommands.end() ? nullptr : &*it;
}

std::string commandHelp() {
    std::string text;
    for (const Command& c : kCommands) {
        std::string usage(c.name);
        if (!c.arguments.empty()) usage += " " + std::string(c.arguments);
        usage.resize(std::max<std::size_t>(usage.size() + 2, 26), ' ');
        text += "  " + usage + std::string(c.summary) + "\n";
    }
    return text;
}

}  // namespace kest_tool

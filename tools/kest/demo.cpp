#include "demo.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "console.h"
#include "download_progress.h"
#include "peripheral/peripheral.h"
#include "script.h"

namespace kest_tool {
namespace {

constexpr char kOpenStep[] = "open 1 1 10";  // version and download, a time-out of 10 s

// The steps after the open: the version, the file the download created (with its host path).
const std::vector<std::string> kLaterSteps{
    "version",
    "file",
    "enable 1",
    "disable",  // does not wait: it power-cycles the peripheral back to ready
    "wait-state 4 10000",
    "close",
    "wait-state 1 10000",
};

bool run(const std::string& step, CommandContext& context) {
    const LineOutcome outcome = runLine(step, context);
    if (outcome.kind == LineOutcome::Kind::Succeeded) return true;
    Console::instance().error("kest: demo: step '" + step + "' did not succeed");
    // The peripheral may be why: a data port it could not put up.
    if (context.peripheral != nullptr && !context.peripheral->dataPortError().empty())
        Console::instance().error("kest: demo: the peripheral: " +
                                  context.peripheral->dataPortError());
    return false;
}

// The library does not replace a file it finds in place, so a second demo in the same root
// would stop at "File already exists". With the simulated peripheral the name is known, and
// the copy an earlier run left is removed first, through the platform's file system so that
// nothing outside the root can be touched; only a plain name is trusted for that.
void removeEarlierCopy(const CommandContext& context) {
    if (context.peripheral == nullptr) return;
    const auto& header = context.peripheral->profile().file.nameHeader;
    const std::string name(header.begin(), std::find(header.begin(), header.end(), 0));
    const bool plain =
        !name.empty() && name.find_first_not_of('.') != std::string::npos &&
        std::all_of(name.begin(), name.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
        });
    if (!plain) return;
    const std::string path = "\\QUOX\\RUV\\" + name + ".bin";
    DeleteFileW(std::u16string(path.begin(), path.end()).c_str());
}

}  // namespace

int runDemo(CommandContext& context, bool terminal) {
    removeEarlierCopy(context);
    bool opened = false;
    {
        const DownloadProgress progress(terminal);
        opened = run(kOpenStep, context);
    }
    if (!opened) return 1;
    for (const std::string& step : kLaterSteps)
        if (!run(step, context)) return 1;
    return 0;
}

}  // namespace kest_tool

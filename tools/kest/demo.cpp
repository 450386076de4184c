#include "demo.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "download_progress.h"
#include "library_handlers.h"
#include "peripheral/peripheral.h"
#include "script.h"

namespace kest_tool {
namespace {

constexpr char kOpenStep[] = "open 1 1 10";  // version and download, a time-out of 10 s
constexpr char kCreatedFile[] = "Created file:";

// The steps after the open and the report of its file.
const std::vector<std::string> kLaterSteps{
    "enable 1",
    "disable",  // does not wait: it power-cycles the peripheral back to ready
    "wait-state 4 10000",
    "close",
    "wait-state 1 10000",
};

bool run(const std::string& step, CommandContext& context) {
    const LineOutcome outcome = runLine(step, context);
    if (outcome.kind == LineOutcome::Kind::Succeeded) return true;
    std::cerr << "kest: demo: step '" << step << "' did not succeed" << std::endl;
    // The peripheral may be why: a data port it could not put up.
    if (context.peripheral != nullptr && !context.peripheral->dataPortError().empty())
        std::cerr << "kest: demo: the peripheral: " << context.peripheral->dataPortError()
                  << std::endl;
    return false;
}

// The path the library reported after "Created file:", as the handheld names it.
std::optional<std::string> createdFile(const std::vector<std::string>& statuses) {
    const auto it = std::find(statuses.begin(), statuses.end(), kCreatedFile);
    if (it == statuses.end() || it + 1 == statuses.end()) return std::nullopt;
    return *(it + 1);
}

// \QUOX\RUV\calib.bin under the root directory that stands for the handheld's files.
std::filesystem::path hostPath(const std::string& root, std::string handheldPath) {
    std::replace(handheldPath.begin(), handheldPath.end(), '\\', '/');
    return std::filesystem::absolute(std::filesystem::path(root) / handheldPath).lexically_normal();
}

// result: file 0 path="QUOX\\RUV\\calib.bin" host="/.../QUOX/RUV/calib.bin" bytes=1000
bool reportFile(const std::vector<std::string>& statuses, const CommandContext& context) {
    const std::optional<std::string> path = createdFile(statuses);
    if (!path) {
        std::cerr << "kest: demo: the download created no file (the status lines say why)"
                  << std::endl;
        return false;
    }
    const std::filesystem::path host = hostPath(context.root, *path);
    std::error_code error;
    const auto size = std::filesystem::file_size(host, error);
    Console::instance().result(
        "file", error ? 1 : 0,
        {{"path", *path},
         {"host", host.string()},
         {"bytes", error ? std::int64_t{-1} : static_cast<std::int64_t>(size)}});
    if (error) std::cerr << "kest: demo: " << host.string() << ": " << error.message() << std::endl;
    return !error;
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
    const std::uint64_t mark = statusMark();
    bool opened = false;
    {
        const DownloadProgress progress(terminal);
        opened = run(kOpenStep, context);
    }
    if (!opened || !run("version", context) || !reportFile(statusesSince(mark), context)) return 1;
    for (const std::string& step : kLaterSteps)
        if (!run(step, context)) return 1;
    return 0;
}

}  // namespace kest_tool

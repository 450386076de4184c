#include "peripheral_session.h"

#include <host/files.h>
#include <kest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace kest_bench {
namespace {

namespace fs = std::filesystem;

constexpr int kOpenTimeoutSeconds = 60;
constexpr std::chrono::seconds kCloseWait{10};

fs::path makeRoot() {
    char pattern[] = "/tmp/kest-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("no temporary directory");
    host::files::setRoot(pattern);
    return pattern;
}

}  // namespace

sim::PeripheralProfile profileServing(std::size_t contentSize, std::uint32_t bitsPerSecond) {
    sim::PeripheralProfile profile;
    profile.file.content = sim::generatedContent(contentSize);
    profile.port.dataBitRate = bitsPerSecond;
    return profile;
}

PeripheralSession::PeripheralSession(sim::PeripheralProfile profile)
    : root_(makeRoot()), peripheral_(std::move(profile)) {
    EventTimeline::instance();
    peripheral_.start();
}

PeripheralSession::~PeripheralSession() {
    closeAndForget();
    peripheral_.stop();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::size_t PeripheralSession::streamSize() const {
    return sim::transferStream(profile().file).size();
}

bool PeripheralSession::closeAndForget() {
    const Clock::time_point asked = Clock::now();
    if (KEST_GetState() != KEST_STATE_CLOSED) {
        KEST_Close();
        if (!timeline().awaitState(KEST_STATE_CLOSED, asked, kCloseWait)) return false;
    }
    std::error_code ignored;
    fs::remove_all(root_ / "QUOX", ignored);
    timeline().clear();
    return true;
}

std::optional<Window> PeripheralSession::openWithDownload() {
    if (!closeAndForget()) return std::nullopt;
    const Clock::time_point asked = Clock::now();
    if (KEST_Open(1, 1, kOpenTimeoutSeconds) != KEST_OK || !downloadIntact()) return std::nullopt;
    const auto start = timeline().status(kDownloadRequested, asked);
    const auto end = start ? timeline().status(kFileCreated, *start) : std::nullopt;
    if (!end) return std::nullopt;
    return Window{*start, *end};
}

bool PeripheralSession::downloadIntact() const {
    const auto& header = profile().file.nameHeader;
    const std::string name(header.begin(), std::find(header.begin(), header.end(), 0));
    std::ifstream file(root_ / "QUOX" / "RUV" / (name + ".bin"), std::ios::binary);
    const std::vector<std::uint8_t> content{std::istreambuf_iterator<char>(file),
                                            std::istreambuf_iterator<char>()};
    return file.is_open() && content == profile().file.content;
}

}  // namespace kest_bench

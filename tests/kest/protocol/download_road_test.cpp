// The road of one open that asks for the version and the file, through the exports, against a
// simulated peripheral: the manager thread sends the requests, the monitor thread receives the
// answers, and the application reads what they published.
#include <gtest/gtest.h>
#include <host/files.h>
#include <kest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "application_recorder.h"
#include "attached_library.h"
#include "fresh_registry.h"
#include "peripheral/download_plan.h"
#include "peripheral/peripheral.h"
#include "peripheral/profile.h"
#include "wait_until.h"

namespace kest_test {
namespace {

namespace fs = std::filesystem;

struct TemporaryRoot {
    TemporaryRoot() {
        char pattern[] = "/tmp/kest-road-XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        if (made != nullptr) path = made;
        host::files::setRoot(path.string());
    }
    ~TemporaryRoot() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path path;
};

class DownloadRoad : public ::testing::Test {
  protected:
    DownloadRoad() { peripheral.start(); }

    TemporaryRoot root;
    FreshRegistry registry;
    sim::Peripheral peripheral{{.dataPortDelay = std::chrono::milliseconds{0}}};
    AttachedLibrary library;
    ApplicationRecorder application;
};

TEST_F(DownloadRoad, OpenFetchesTheVersionAndThenTheFile) {
    ASSERT_EQ(KEST_Open(1, 1, 10), KEST_OK);
    EXPECT_EQ(KEST_GetState(), KEST_STATE_READY);

    int major = 0;
    int minor = 0;
    char text[13] = {};
    ASSERT_EQ(KEST_GetVersionInfo(&major, &minor, text), KEST_OK);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 2);
    EXPECT_STREQ(text, "KEST RDR 1.2");

    int received = 0;
    int total = 0;
    ASSERT_EQ(KEST_GetDownloadInfo(nullptr, &received, &total), KEST_OK);
    EXPECT_EQ(total, 1016);
    EXPECT_EQ(received, 1016);

    std::ifstream file(root.path / "QUOX" / "RUV" / "calib.bin", std::ios::binary);
    const std::vector<std::uint8_t> content{std::istreambuf_iterator<char>(file),
                                            std::istreambuf_iterator<char>()};
    EXPECT_EQ(content, sim::generatedContent(1000));

    const std::vector<std::string> lines = application.statuses();
    const auto created = std::find(lines.begin(), lines.end(), "Created file:");
    ASSERT_NE(created, lines.end());
    ASSERT_NE(created + 1, lines.end());
    EXPECT_EQ(*(created + 1), "QUOX\\RUV\\calib.bin");

    // The version came first, and the download started only after it.
    const std::vector<int> states = application.states();
    const auto pending = std::find(states.begin(), states.end(), KEST_STATE_VERSION_PENDING);
    const auto downloading = std::find(states.begin(), states.end(), KEST_STATE_DOWNLOADING);
    EXPECT_LT(pending, downloading);
    EXPECT_EQ(states.back(), KEST_STATE_READY);
}

// A peripheral may send VersionResponse, FileDownloadResponse and FileData at any time; here they
// come unasked after every frame of the library, racing the steps and the application's reads.
// Every version read is one that was sent, whole; no count is read with another transfer's size;
// the unasked transfer leaves no file.
// Run under ThreadSanitizer, this is also the proof that nothing races.
TEST_F(DownloadRoad, UnaskedResponsesAndBlocksDuringTheStepsLeaveEveryReadConsistent) {
    sim::PeripheralIdentity other = peripheral.profile().identity;
    other.version = 0x34;
    other.text[9] = '3';
    other.text[11] = '4';
    const std::vector<std::vector<std::uint8_t>> versions = {
        sim::versionResponse(peripheral.profile().identity), sim::versionResponse(other)};
    sim::FaultSet none;
    const sim::DownloadPlan transfer(
        sim::PeripheralFile{.nameHeader = {'u'}, .content = std::vector<std::uint8_t>(200)}, none);
    const auto rounds = std::make_shared<std::atomic<int>>(0);
    peripheral.setFrameHandler([=, this](const sim::Frame& frame) {
        peripheral.responder().handle(frame);
        const int round = (*rounds)++;
        if (round >= 30) return;
        peripheral.sendFrame(0, versions[round % 2]);
        peripheral.sendFrame(0, transfer.response());
        peripheral.sendFrame(0, transfer.frames().front());
    });

    std::atomic<bool> opened{false};
    std::jthread open([&] {
        KEST_Open(1, 1, 10);
        opened = true;
    });
    // Once the manager has seen the first version (6 => 4), KEST_GetVersionInfo only reads.
    ASSERT_TRUE(waitUntil([&] {
        const std::vector<int> states = application.states();
        const auto pending = std::find(states.begin(), states.end(), KEST_STATE_VERSION_PENDING);
        return std::find(pending, states.end(), KEST_STATE_READY) != states.end();
    }));
    while (!opened) {
        int major = 0;
        int minor = 0;
        char text[13] = {};
        ASSERT_EQ(KEST_GetVersionInfo(&major, &minor, text), KEST_OK);
        ASSERT_EQ(std::string(text),
                  "KEST RDR " + std::to_string(major) + "." + std::to_string(minor));
        int received = 0;
        int total = 0;
        KEST_GetDownloadInfo(nullptr, &received, &total);
        ASSERT_LE(received, total);
    }
    // The unasked transfer never completes a file; the asked one, if it got through the
    // peripheral's interruptions, is whole.
    const fs::path directory = root.path / "QUOX" / "RUV";
    if (!fs::exists(directory)) return;
    for (const auto& entry : fs::directory_iterator(directory)) {
        ASSERT_EQ(entry.path().filename(), "calib.bin");
        std::ifstream file(entry.path(), std::ios::binary);
        EXPECT_EQ(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {}),
                  sim::generatedContent(1000));
    }
}

}  // namespace
}  // namespace kest_test

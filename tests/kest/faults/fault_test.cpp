// Every fault the simulated peripheral can make, met through the exports: the library does not
// crash, writes nothing outside \QUOX\RUV, reports what happened (for a transfer that stalls,
// the request's "Request timed out." is that report), and a close and a new open afterwards
// fetch the file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <host/files.h>
#include <kest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "application_recorder.h"
#include "attached_library.h"
#include "fresh_registry.h"
#include "peripheral/peripheral.h"
#include "serial/serial_port.h"

// The simulated data line's slowest rate follows from the library's write time-out.
static_assert(sim::kLibraryWriteMsPerByte == kest::SerialPort::kWriteMsPerByte);

namespace {

namespace fs = std::filesystem;
using ::testing::Contains;

// Ten times what a paced download of the default file takes: an open whose transfer stalls gives
// up after it. An open that ends in spite of its fault is waited for as any other, since on a
// busy machine its download can take longer than that.
constexpr int kStalledOpenSeconds = 1;
constexpr int kOpenSeconds = 10;
constexpr char kTimedOut[] = "Request timed out.";

struct FaultCase {
    std::string name;
    std::string profile;               // a ready profile, or empty: the default one
    std::vector<sim::Fault> faults;    // armed on top of the profile
    int openResult;                    // what KEST_Open returns in spite of the fault
    std::vector<std::string> reports;  // status texts that say what happened
    bool nameRefused = false;          // the file name itself is hostile
    std::string nameHeader = {};       // raw name bytes in place of the profile's, if given
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) {
    return out << c.name;
}

sim::PeripheralProfile profileFor(const FaultCase& c) {
    sim::PeripheralProfile profile;
    if (!c.profile.empty()) {
        const auto loaded =
            sim::loadPeripheralProfile(fs::path(KEST_PERIPHERAL_PROFILE_DIR) / c.profile);
        EXPECT_TRUE(loaded.profile) << loaded.error;
        if (loaded.profile) profile = *loaded.profile;
    }
    for (const sim::Fault fault : c.faults) profile.faults.arm(fault);
    if (!c.nameHeader.empty()) {
        profile.file.nameHeader = {};
        std::copy_n(c.nameHeader.begin(), std::min(c.nameHeader.size(), std::size_t{16}),
                    profile.file.nameHeader.begin());
    }
    profile.port.dataPortDelay = std::chrono::milliseconds(0);
    return profile;
}

// Every path under the directory, relative to it, with / between the parts.
std::vector<std::string> contents(const fs::path& directory) {
    std::vector<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        paths.push_back(fs::relative(entry.path(), directory).generic_string());
    return paths;
}

class FaultRun : public ::testing::TestWithParam<FaultCase> {
  protected:
    FaultRun()
        : base_(fs::temp_directory_path() /
                ("kest-faults-" + std::to_string(getpid()) + "-" + GetParam().name)),
          root_(prepareRoot(base_)),
          peripheral_(profileFor(GetParam())) {
        peripheral_.start();
    }
    ~FaultRun() override { fs::remove_all(base_); }

    static fs::path prepareRoot(const fs::path& base) {
        fs::remove_all(base);
        fs::create_directories(base / "root");
        host::files::setRoot((base / "root").string());
        return base / "root";
    }

    // Nothing outside the root's QUOX\RUV, and nothing next to the root.
    void expectNothingOutsideRuv() const {
        for (const std::string& path : contents(base_))
            EXPECT_TRUE(path == "root" || path.starts_with("root/")) << path;
        for (const std::string& path : contents(root_))
            EXPECT_TRUE(path == "QUOX" || path == "QUOX/RUV" || path.starts_with("QUOX/RUV/"))
                << path;
    }

    void closeAndWait() {
        application_.clear();
        KEST_Close();
        ASSERT_TRUE(application_.waitForState(KEST_STATE_CLOSED));
    }

    const fs::path base_;
    const fs::path root_;
    kest_test::FreshRegistry registry_;
    sim::Peripheral peripheral_;
    kest_test::AttachedLibrary library_;
    kest_test::ApplicationRecorder application_;
};

TEST_P(FaultRun, IsReportedLeavesNothingOutsideRuvAndANewOpenFetchesTheFile) {
    const FaultCase& c = GetParam();
    EXPECT_EQ(KEST_Open(1, 1, c.openResult == KEST_OK ? kOpenSeconds : kStalledOpenSeconds),
              c.openResult);
    for (const std::string& report : c.reports)
        EXPECT_TRUE(application_.waitForStatus(report)) << report;
    if (c.openResult != KEST_OK) {
        EXPECT_THAT(application_.statuses(), Contains(kTimedOut));
    }
    EXPECT_THAT(application_.statuses(), ::testing::Not(Contains("Created file:")));
    expectNothingOutsideRuv();
    EXPECT_FALSE(fs::exists(root_ / "QUOX/RUV/calib.bin"));

    closeAndWait();
    peripheral_.responder().setFaults({});  // whatever the fault left armed
    application_.clear();
    ASSERT_EQ(KEST_Open(1, 1, kOpenSeconds), KEST_OK);
    EXPECT_EQ(KEST_GetState(), KEST_STATE_READY);
    int major = 0;
    int minor = 0;
    char text[13] = {};
    EXPECT_EQ(KEST_GetVersionInfo(&major, &minor, text), KEST_OK);
    EXPECT_EQ(major * 16 + minor, peripheral_.profile().identity.version);
    if (c.nameRefused) {
        EXPECT_THAT(application_.statuses(), Contains("File name not allowed, aborting download."));
    } else {
        EXPECT_THAT(application_.statuses(), Contains("Created file:"));
        EXPECT_EQ(fs::file_size(root_ / "QUOX/RUV/calib.bin"),
                  peripheral_.profile().file.content.size());
    }
    expectNothingOutsideRuv();
    closeAndWait();
}

const std::string kRefused = "File name not allowed, aborting download.";

INSTANTIATE_TEST_SUITE_P(
    EveryFault, FaultRun,
    ::testing::Values(
        FaultCase{"DroppedByte", "dropped_byte.toml", {}, KEST_NOT_DONE, {}},
        FaultCase{"DuplicatedByte", "duplicated_byte.toml", {}, KEST_OK, {"File checksum error"}},
        FaultCase{"CorruptedByte", "corrupted_byte.toml", {}, KEST_OK, {"File checksum error"}},
        FaultCase{
            "WrongSequence", "wrong_sequence.toml", {}, KEST_OK, {"Download File sequence error"}},
        FaultCase{"WrongChecksum", "wrong_checksum.toml", {}, KEST_OK, {"File checksum error"}},
        FaultCase{"LongFrame", "long_frame.toml", {}, KEST_NOT_DONE, {}},
        FaultCase{"ShortVersion",
                  "",
                  {sim::Fault::ShortVersion},
                  KEST_NOT_DONE,
                  {"VersionResponse too short: 3 bytes"}},
        FaultCase{"ShortDownload",
                  "",
                  {sim::Fault::ShortDownload},
                  KEST_OK,
                  {"Download response rejected.", "FileData without a download dropped."}},
        FaultCase{"ShortData",
                  "",
                  {sim::Fault::ShortData},
                  KEST_NOT_DONE,
                  {"FileData too short: 2 bytes"}},
        FaultCase{"ShortMessages",
                  "short_messages.toml",
                  {},
                  KEST_NOT_DONE,
                  {"VersionResponse too short: 3 bytes"}},
        FaultCase{"SizeSurplus", "size_surplus.toml", {}, KEST_NOT_DONE, {}},
        FaultCase{"VanishingPort", "vanishing_port.toml", {}, KEST_NOT_DONE, {}},
        FaultCase{"NameClimbs", "hostile_name_climb.toml", {}, KEST_OK, {kRefused}, true},
        FaultCase{"NameWithSeparators", "hostile_name_slash.toml", {}, KEST_OK, {kRefused}, true},
        FaultCase{"NameWithReservedCharacters",
                  "hostile_name_reserved.toml",
                  {},
                  KEST_OK,
                  {kRefused},
                  true},
        // Over-long forms of "..\" and of "/": no separator byte, yet a lax decoder of the
        // text makes separators of them.
        FaultCase{"NameClimbsInOverLongForms",
                  "",
                  {},
                  KEST_OK,
                  {kRefused},
                  true,
                  "\xC0\xAE\xC0\xAE\xC1\x9C\xC0\xAE\xC0\xAE\xC1\x9C"
                  "evil"},
        FaultCase{"NameClimbsWithAnOverLongSlash",
                  "",
                  {},
                  KEST_OK,
                  {kRefused},
                  true,
                  "\xC0\xAE\xC0\xAE\xC0\xAF\xC0\xAE\xC0\xAE\xC0\xAF"
                  "evil"}),
    [](const ::testing::TestParamInfo<FaultCase>& run) { return run.param.name; });

}  // namespace

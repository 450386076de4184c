// Profiles: the ready ones, every key reaching its field, and malformed profiles refused with
// an error that names the key.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "peripheral/profile.h"

namespace sim {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace fs = std::filesystem;

PeripheralProfile parsed(std::string_view text) {
    const PeripheralProfileResult result = parsePeripheralProfile(text);
    EXPECT_TRUE(result.profile) << result.error;
    return result.profile.value_or(PeripheralProfile{});
}

std::string errorOf(std::string_view text) {
    const PeripheralProfileResult result = parsePeripheralProfile(text, "p.toml");
    EXPECT_FALSE(result.profile);
    return result.error;
}

TEST(PeripheralProfiles, EveryReadyProfileLoads) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(KEST_PERIPHERAL_PROFILE_DIR)) {
        const PeripheralProfileResult result = loadPeripheralProfile(entry.path());
        EXPECT_TRUE(result.profile) << result.error;
        ++count;
    }
    EXPECT_GE(count, 15u);
}

TEST(PeripheralProfiles, TheDefaultProfileIsThePeripheralWithoutOne) {
    const PeripheralProfileResult result =
        loadPeripheralProfile(fs::path(KEST_PERIPHERAL_PROFILE_DIR) / "default.toml");
    ASSERT_TRUE(result.profile) << result.error;
    const PeripheralProfile& loaded = *result.profile;
    const PeripheralProfile builtIn;
    EXPECT_EQ(loaded.name, builtIn.name);
    EXPECT_EQ(loaded.port.dataPort, builtIn.port.dataPort);
    EXPECT_EQ(loaded.port.dataPortDelay, builtIn.port.dataPortDelay);
    EXPECT_EQ(loaded.port.dataPortRemovalDelay, builtIn.port.dataPortRemovalDelay);
    EXPECT_EQ(loaded.port.dataBitRate, builtIn.port.dataBitRate);
    EXPECT_EQ(versionResponse(loaded.identity), versionResponse(builtIn.identity));
    EXPECT_EQ(transferStream(loaded.file), transferStream(builtIn.file));
    EXPECT_EQ(loaded.file.blockSize, builtIn.file.blockSize);
    EXPECT_TRUE(loaded.faults.empty());
}

TEST(PeripheralProfiles, EveryKeyReachesItsField) {
    const PeripheralProfile p = parsed(R"(
name = "bench unit"
[port]
number = 7
delay_ms = 0
removal_delay_ms = 1500
bit_rate = "unpaced"
[version]
status = 0x7E
version = 0x1A
text = "ABC"
serial = 0xFFFFFFFF
[file]
status = 3
download_status = 2
name = "0123456789abcdef"
content = "hi"
block_size = 1
[event]
status = 4
[upload]
status = 5
upload_status = 6
[faults]
drop_byte = 0
wrong_checksum = true
short_data = false
long_frame = 255
vanish_at_block = 4294967295
)");
    EXPECT_EQ(p.name, "bench unit");
    EXPECT_EQ(p.port.dataPort, 7u);
    EXPECT_EQ(p.port.dataPortDelay.count(), 0);
    EXPECT_EQ(p.port.dataPortRemovalDelay.count(), 1500);
    EXPECT_EQ(p.port.dataBitRate, 0u);
    EXPECT_THAT(versionResponse(p.identity), ElementsAre(0x02, 0x7E, 0x1A, 'A', 'B', 'C', 0, 0, 0,
                                                         0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF));
    EXPECT_EQ(p.file.status, 3);
    EXPECT_EQ(p.file.downloadStatus, 2);
    EXPECT_EQ(std::string(p.file.nameHeader.begin(), p.file.nameHeader.end()), "0123456789abcdef");
    EXPECT_THAT(p.file.content, ElementsAre('h', 'i'));
    EXPECT_EQ(p.file.blockSize, 1u);
    EXPECT_EQ(p.unasked.event, 4);
    EXPECT_EQ(p.unasked.upload, 5);
    EXPECT_EQ(p.unasked.uploadStatus, 6);
    EXPECT_EQ(p.faults.describe(),
              "drop_byte=0 wrong_checksum long_frame=255 vanish_at_block=4294967295");
}

TEST(PeripheralProfiles, PortNumberAndContentHaveTheirOtherForms) {
    EXPECT_EQ(parsed("[port]\nnumber = \"never\"").port.dataPort, std::nullopt);
    EXPECT_EQ(parsed("[port]\nnumber = \"auto\"").port.dataPort,
              PeripheralOptions::kLowestFreePort);
    EXPECT_EQ(parsed("[port]\nbit_rate = 9600").port.dataBitRate, 9600u);
    EXPECT_EQ(parsed("[file]\ncontent_size = 0").file.content.size(), 0u);
    EXPECT_EQ(parsed("[file]\ncontent_size = 1048576").file.content, generatedContent(1 << 20));
    // Generated content repeats neither between blocks nor between 256-byte pages.
    const std::vector<std::uint8_t> content = generatedContent(512);
    EXPECT_NE(std::vector(content.begin(), content.begin() + 256),
              std::vector(content.begin() + 256, content.end()));
}

TEST(PeripheralProfiles, ContentFileIsReadFromTheProfilesDirectory) {
    const fs::path dir = fs::temp_directory_path() / ("kest-profile-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "cal.bin", std::ios::binary) << std::string("\x00\x01\xFFz", 4);
    std::ofstream(dir / "p.toml") << "[file]\ncontent_file = \"cal.bin\"\n";
    const PeripheralProfileResult result = loadPeripheralProfile(dir / "p.toml");
    ASSERT_TRUE(result.profile) << result.error;
    EXPECT_THAT(result.profile->file.content, ElementsAre(0x00, 0x01, 0xFF, 'z'));

    std::ofstream(dir / "missing.toml") << "[file]\ncontent_file = \"nothing.bin\"\n";
    EXPECT_THAT(loadPeripheralProfile(dir / "missing.toml").error,
                HasSubstr("file.content_file: "));

    fs::resize_file(dir / "cal.bin", kMaxContentSize + 1);
    EXPECT_THAT(loadPeripheralProfile(dir / "p.toml").error, HasSubstr("is larger than"));
    EXPECT_THAT(loadPeripheralProfile(dir / "absent.toml").error,
                StartsWith((dir / "absent.toml").string()));

    // A profile is untrusted: it serves nothing from outside its own directory.
    fs::create_directories(dir / "sub");
    std::ofstream(dir / "sub" / "in.bin") << "in";
    fs::create_symlink("/etc/passwd", dir / "out.bin");
    const std::pair<const char*, const char*> confined[] = {
        {"/etc/passwd", "an absolute path"},
        {"../../../../etc/shadow", "no \"..\""},
        {"sub/../sub/in.bin", "no \"..\""},
        {"out.bin", "leads out of the profile's directory"},
    };
    for (const auto& [name, reason] : confined) {
        std::ofstream(dir / "c.toml") << "[file]\ncontent_file = \"" << name << "\"\n";
        EXPECT_THAT(loadPeripheralProfile(dir / "c.toml").error,
                    AllOf(HasSubstr("file.content_file: "), HasSubstr(reason)))
            << name;
    }
    std::ofstream(dir / "c.toml") << "[file]\ncontent_file = \"sub/in.bin\"\n";
    EXPECT_TRUE(loadPeripheralProfile(dir / "c.toml").profile);
    fs::remove_all(dir);
}

struct Malformed {
    const char* text;
    const char* error;
};

TEST(PeripheralProfiles, MalformedProfilesAreRefusedNamingTheKey) {
    const Malformed cases[] = {
        {"[version\nstatus = 1", "p.toml:1: "},
        {"colour = 1", "p.toml:1: unknown key \"colour\""},
        {"[file]\nsize = 1", "p.toml:2: file: unknown key \"size\""},
        {"[version]\nstatus = 256", "version.status: 256 is out of range 0..255"},
        {"[version]\nstatus = -1", "version.status: -1 is out of range"},
        {"[version]\nversion = \"1.2\"", "version.version: expected an integer, not a text"},
        {"[version]\ntext = \"THIRTEEN CHAR\"", "version.text: longer than 12 bytes"},
        {"[version]\nserial = 4294967296", "version.serial: 4294967296 is out of range"},
        {"[file]\nname = \"seventeen-chars!!\"", "file.name: longer than 16 bytes"},
        {"[file]\ncontent = \"a\"\ncontent_size = 3", "give one of content, content_file"},
        {"[file]\ncontent_size = 1048577", "file.content_size: 1048577 is out of range"},
        {"[file]\ncontent_file = \"x.bin\"", "file.content_file: only in a profile read from"},
        {"[file]\nblock_size = 123", "file.block_size: 123 is out of range 1..122"},
        {"[file]\nblock_size = 0", "file.block_size: 0 is out of range"},
        {"[port]\nnumber = 1", "port.number: 1 is out of range 2..31"},
        {"[port]\nnumber = 32", "the library looks for its data port among COM2: to COM31:"},
        {"[port]\nnumber = \"first\"", "port.number: expected \"auto\", \"never\""},
        {"[port]\nbit_rate = \"fast\"", "port.bit_rate: expected \"unpaced\""},
        {"[port]\nbit_rate = 0", "port.bit_rate: 0 is out of range"},
        {"[port]\ndelay_ms = 600001", "port.delay_ms: 600001 is out of range"},
        {"[port]\nremoval_delay_ms = -1", "port.removal_delay_ms: -1 is out of range"},
        {"port = 3", "port: expected a table, not an integer"},
        {"[faults]\nexplode = true", "faults: unknown fault \"explode\""},
        {"[faults]\nwrong_checksum = 1", "faults.wrong_checksum: expected true or false"},
        {"[faults]\ndrop_byte = true", "faults.drop_byte: expected an integer"},
        {"[faults]\nlong_frame = 125", "faults.long_frame: 125 is out of range 126..255"},
        {"[faults]\nsize_surplus = 0", "faults.size_surplus: 0 is out of range"},
        {"name = 5", "name: expected a text"},
    };
    for (const Malformed& c : cases) EXPECT_THAT(errorOf(c.text), HasSubstr(c.error)) << c.text;
}

TEST(PeripheralProfiles, OversizedOrBinaryInputIsAnErrorNotACrash) {
    EXPECT_THAT(errorOf(std::string(kMaxProfileSize + 1, '#')), HasSubstr("larger than"));
    EXPECT_FALSE(errorOf(std::string("\x00\xFF[[[", 5)).empty());
    EXPECT_FALSE(errorOf(std::string(200, '[')).empty());
}

TEST(PeripheralProfiles, ControlAndNonAsciiBytesAreRefusedWithTheirLine) {
    // Both reach faults of the TOML parser when they get that far.
    EXPECT_THAT(errorOf(std::string("# ok\n[\x0c\x00\x00\x00]", 9)),
                HasSubstr("line 2: byte 0x0C is not allowed"));
    EXPECT_THAT(errorOf("\xEF\xB3\xBD"), HasSubstr("line 1: byte 0xEF is not allowed"));
    EXPECT_THAT(errorOf("version_text = \"caf\xC3\xA9\""), HasSubstr("byte 0xC3"));
    // The same text written with an escape is accepted as far as the bytes go.
    EXPECT_THAT(parsePeripheralProfile("version_text = \"caf\\u00E9\"").error,
                Not(HasSubstr("is not allowed")));
}

TEST(FaultSets, ArmOnlyInRangeAndStrikeOnceUnlessRepeated) {
    FaultSet faults;
    EXPECT_FALSE(faults.arm(Fault::LongFrame, 100));
    EXPECT_TRUE(faults.empty());
    EXPECT_TRUE(faults.arm(Fault::LongFrame, 130));
    EXPECT_EQ(faults.take(Fault::LongFrame), 130u);
    EXPECT_EQ(faults.take(Fault::LongFrame), std::nullopt);

    faults.arm(Fault::DropByte, 5);
    faults.arm(Fault::Repeat);
    EXPECT_EQ(faults.take(Fault::DropByte), 5u);
    EXPECT_EQ(faults.take(Fault::DropByte), 5u);
    EXPECT_EQ(faults.describe(), "drop_byte=5 repeat");
    faults.clearAll();
    EXPECT_EQ(faults.describe(), "none");
}

TEST(DownloadPlans, SequenceNumbersWrapAfter255) {
    PeripheralFile file;
    file.content = generatedContent(300 - kNameHeaderSize);
    file.blockSize = 1;
    FaultSet none;
    const DownloadPlan plan(file, none);
    ASSERT_EQ(plan.frames().size(), 300u);
    EXPECT_EQ(plan.frames()[255][1], 255);
    EXPECT_EQ(plan.frames()[256][1], 0);
    EXPECT_THAT(plan.frames()[256], ElementsAre(0x08, 0x00, file.content[256 - 16], 0xA5));
}

}  // namespace
}  // namespace sim

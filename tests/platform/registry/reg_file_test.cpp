#include <gmock/gmock.h>
#include <host/registry.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "registry_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

using RegFileTest = RegistryTest;

// Writes bytes to a file in the test's own temporary directory.
class TempFile {
  public:
    TempFile(const std::string& name, std::string_view bytes)
        : path_(std::filesystem::temp_directory_path() /
                (std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + name)) {
        std::ofstream out(path_, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() { std::filesystem::remove(path_); }
    std::string path() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

std::string utf16le(std::u16string_view text) {
    std::string bytes = "\xFF\xFE";
    for (const char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

TEST_F(RegFileTest, LoadsEveryKindOfValue) {
    const auto result = host::registry::loadText(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Drivers\USB\ClientDrivers\Sensor]
"Dll"="DERMO.DLL"
"Path"="C:\\Windows\\\"quoted\""
@="default"
"MaxBulkReadSize"=dword:00001000
"Short"=dword:1f
"Blob"=hex:01,02,ff
"Expand"=hex(2):25,00,41,00,00,00
"Multi"=hex(7):61,00,00,00,62,00,00,00,00,00
"Quad"=hex(b):01,00,00,00,00,00,00,00
"Nothing"=hex(0):
"Empty"=""
)",
                                                 "values.reg");
    ASSERT_TRUE(result) << result.error;
    const char16_t* path = u"Drivers\\USB\\ClientDrivers\\Sensor";
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, path, u"Dll"), u"DERMO.DLL");
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, path, u"Dll").data, stringBytes(u"DERMO.DLL"));
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, path, u"Path"), u"C:\\Windows\\\"quoted\"");
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, path, nullptr), u"default");

    const StoredValue size = readValue(HKEY_LOCAL_MACHINE, path, u"MaxBulkReadSize");
    EXPECT_EQ(size.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size.data, (std::vector<BYTE>{0x00, 0x10, 0, 0}));
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, path, u"Short").data,
              (std::vector<BYTE>{0x1f, 0, 0, 0}));

    const StoredValue blob = readValue(HKEY_LOCAL_MACHINE, path, u"Blob");
    EXPECT_EQ(blob.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(blob.data, (std::vector<BYTE>{1, 2, 0xff}));
    const StoredValue expand = readValue(HKEY_LOCAL_MACHINE, path, u"Expand");
    EXPECT_EQ(expand.type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(expand.data, stringBytes(u"%A"));
    const StoredValue multi = readValue(HKEY_LOCAL_MACHINE, path, u"Multi");
    EXPECT_EQ(multi.type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(multi.data.size(), 10u);
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, path, u"Quad").type, static_cast<DWORD>(REG_QWORD));
    const StoredValue nothing = readValue(HKEY_LOCAL_MACHINE, path, u"Nothing");
    EXPECT_EQ(nothing.result, ERROR_SUCCESS);
    EXPECT_EQ(nothing.type, static_cast<DWORD>(REG_NONE));
    EXPECT_TRUE(nothing.data.empty());
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, path, u"Empty").data, stringBytes(u""));
}

TEST_F(RegFileTest, AcceptsTheOlderHeaderShortRootNamesCommentsAndCrLf) {
    const auto result = host::registry::loadText(
        "REGEDIT4\r\n"
        "; a comment\r\n"
        "\r\n"
        "[hklm\\Drivers\\Active\\07]   \r\n"
        "  \"Name\" = \"COM7:\"  ; trailing comment\r\n"
        // Narrow text in hex(2) and hex(7) data, as this older format writes it.
        "  \"Expand\"=hex(2):25,41,00\r\n"
        "  \"Multi\"=hex(7):61,00,62,00,00\r\n"
        "[HKCU\\A] ; see [x]\r\n"
        "[HKCR\\B\\]\r\n"
        "[HKU\\C]\r\n",
        "old.reg");
    ASSERT_TRUE(result) << result.error;
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\07", u"NAME"), u"COM7:");
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\07", u"Expand").data,
              stringBytes(u"%A"));
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\07", u"Multi").data,
              (std::vector<BYTE>{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, u"A"));
    EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, u"B"));
    EXPECT_TRUE(keyExists(HKEY_USERS, u"C"));
}

TEST_F(RegFileTest, JoinsLinesThatEndInABackslash) {
    const auto result = host::registry::loadText(
        "Windows Registry Editor Version 5.00\n"
        "[HKEY_LOCAL_MACHINE\\Long]\n"
        "\"Data\"=hex:00,01,02,\\\n"
        "  03,04,\\\n"
        "  05\n"
        "\"After\"=dword:00000002 ; a comment that ends in \\\n"
        "\"Next\"=dword:00000003\n",
        "long.reg");
    ASSERT_TRUE(result) << result.error;
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, u"Long", u"Data").data,
              (std::vector<BYTE>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, u"Long", u"After").data,
              (std::vector<BYTE>{2, 0, 0, 0}));
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, u"Long", u"Next").data,
              (std::vector<BYTE>{3, 0, 0, 0}));
}

TEST_F(RegFileTest, MergesOverTheRegistryAndDeletesWhatItMarks) {
    ScopedKey active(createKey(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\01"));
    setString(active.get(), u"Name", u"COM1:");
    setString(active.get(), u"Key", u"Drivers\\BuiltIn\\Serial");
    ScopedKey doomed(createKey(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\02\\Sub"));

    const auto result = host::registry::loadText(R"(Windows Registry Editor Version 5.00
[HKEY_LOCAL_MACHINE\Drivers\Active\01]
"NAME"="COM9:"
"key"=-
"Missing"=-
[-HKEY_LOCAL_MACHINE\Drivers\Active\02]
[-HKEY_LOCAL_MACHINE\Drivers\Active\NotThere]
)");
    ASSERT_TRUE(result) << result.error;
    EXPECT_EQ(readString(active.get(), nullptr, u"Name"), u"COM9:");
    EXPECT_EQ(readValue(active.get(), u"Key").result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, u"SYSTEM\\Versions", u"AKU"), u".2.0");
    EXPECT_THAT(subkeyNames(HKEY_LOCAL_MACHINE, u"Drivers\\Active"), ElementsAre(u"01"));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(doomed.get(), u"x", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
}

TEST_F(RegFileTest, ReadsUtf16AndUtf8FilesWithByteOrderMarks) {
    const TempFile wide("wide.reg", utf16le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                                            u"[HKEY_LOCAL_MACHINE\\Gr\u00F6\u00DFe]\r\n"
                                            u"\"Ma\u00DF\"=\"\u20AC 5\"\r\n"));
    const auto loaded = host::registry::loadFile(wide.path());
    ASSERT_TRUE(loaded) << loaded.error;
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, u"GR\u00D6\u00DFE", u"ma\u00DF"), u"\u20AC 5");

    const TempFile narrow("narrow.reg",
                          "\xEF\xBB\xBFREGEDIT4\n[HKLM\\Caf\xC3\xA9]\n\"n\"=\"\xC3\xA9\"\n");
    const auto loadedNarrow = host::registry::loadFile(narrow.path());
    ASSERT_TRUE(loadedNarrow) << loadedNarrow.error;
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, u"CAF\u00C9", u"n"), u"\u00E9");
}

TEST_F(RegFileTest, ReportsAFileThatCannotBeOpened) {
    const auto result = host::registry::loadFile("/nonexistent/dir/devices.reg");
    EXPECT_FALSE(result);
    EXPECT_THAT(result.error, HasSubstr("/nonexistent/dir/devices.reg"));
}

struct Malformed {
    const char* text;
    const char* error;
};

class MalformedFileTest : public RegistryTest, public ::testing::WithParamInterface<Malformed> {};

// Every case starts with a valid section, so that a load that applied part of the file shows.
constexpr const char* kValidStart =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Partial]\n"
    "\"First\"=dword:00000001\n";

TEST_P(MalformedFileTest, IsReportedWithItsLineAndChangesNothing) {
    const auto result =
        host::registry::loadText(std::string(kValidStart) + GetParam().text, "devices.reg");
    EXPECT_FALSE(result);
    EXPECT_EQ(result.error, GetParam().error);
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, u"Partial"));
}

INSTANTIATE_TEST_SUITE_P(
    RegFileTest, MalformedFileTest,
    ::testing::Values(
        Malformed{"\"Name\" \"COM1:\"\n", "devices.reg:5: expected '=' after value name"},
        Malformed{"\n\n\"Name=\"x\"\n", "devices.reg:7: expected '=' after value name"},
        Malformed{"\"Name\"=\"COM1:\n", "devices.reg:5: unterminated string"},
        Malformed{"\"Name\"=\"C:\\x\"\n", "devices.reg:5: unknown escape sequence '\\x' in string"},
        Malformed{"[HKEY_LOCAL_MACHINE\\Open\n", "devices.reg:5: expected ']' after the key path"},
        Malformed{"[HKEY_NOWHERE\\Key]\n", "devices.reg:5: unknown root key 'HKEY_NOWHERE'"},
        Malformed{"[HKLM\\A\\\\B]\n", "devices.reg:5: empty key name in the key path"},
        Malformed{"[-HKLM]\n", "devices.reg:5: a root key cannot be deleted"},
        Malformed{"\"V\"=dword:123456789\n", "devices.reg:5: a dword needs 1 to 8 hex digits"},
        Malformed{"\"V\"=dword:\n", "devices.reg:5: a dword needs 1 to 8 hex digits"},
        Malformed{"\"V\"=hex:01,zz\n", "devices.reg:5: expected a hex byte"},
        Malformed{"\"V\"=hex:01 02\n", "devices.reg:5: expected ',' between hex bytes"},
        Malformed{"\"V\"=hex:01,\\\n  02,\\\n  0x3\n",
                  "devices.reg:7: expected ',' between hex bytes"},
        Malformed{"\"V\"=hex(2:00\n", "devices.reg:5: expected ')' after the type number"},
        Malformed{"\"V\"=hex()\n", "devices.reg:5: expected a hex type number in 'hex(...)'"},
        Malformed{"\"V\"=hex 01\n", "devices.reg:5: expected ':' after 'hex'"},
        Malformed{"\"V\"=qword:1\n",
                  "devices.reg:5: expected a string, dword:, hex: or '-' after '='"},
        Malformed{"\"V\"=\"x\" y\n", "devices.reg:5: unexpected text after the value"},
        Malformed{"Name=1\n", "devices.reg:5: expected a [key] section or a value"},
        Malformed{"[-HKLM\\Gone]\n\"V\"=dword:1\n",
                  "devices.reg:6: value in a section that deletes its key"}));

TEST_F(RegFileTest, RefusesFilesWithoutAHeaderOrBeforeTheFirstSection) {
    auto result = host::registry::loadText("[HKLM\\A]\n", "a.reg");
    EXPECT_EQ(result.error,
              "a.reg:1: missing header: expected \"REGEDIT4\" or "
              "\"Windows Registry Editor Version 5.00\"");
    result = host::registry::loadText("", "empty.reg");
    EXPECT_THAT(result.error, HasSubstr("empty.reg:1: missing header"));
    result = host::registry::loadText("REGEDIT4\n\"V\"=dword:1\n", "b.reg");
    EXPECT_EQ(result.error, "b.reg:2: value outside a key section");
}

TEST_F(RegFileTest, RefusesNulCharactersAndBrokenEncodings) {
    using namespace std::string_literals;
    auto result = host::registry::loadText("REGEDIT4\n[HKLM\\A\0B]\n"s, "nul.reg");
    EXPECT_EQ(result.error, "nul.reg:2: unexpected NUL character");
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, u"A"));
    // However its bytes spell it (C0 80 is an over-long form of NUL), no name holds a NUL.
    host::registry::loadText("REGEDIT4\n[HKLM\\K\xC0\x80]\n\"V\xC0\x80\"=\"\"\n", "long.reg");
    EXPECT_EQ(host::registry::exportText("HKLM").value_or("").find('\0'), std::string::npos);
    result = host::registry::loadText(utf16le(u"REGEDIT4\n") + "x", "odd.reg");
    EXPECT_EQ(result.error, "odd.reg: UTF-16 text with an odd number of bytes");
    result = host::registry::loadText("\xFE\xFF\0R"s, "be.reg");
    EXPECT_THAT(result.error, HasSubstr("be.reg: UTF-16 big-endian"));
}

TEST_F(RegFileTest, BoundsNamesAndValueData) {
    const std::string longName(256, 'k');
    auto result = host::registry::loadText("REGEDIT4\n[HKLM\\" + longName + "]\n", "n.reg");
    EXPECT_EQ(result.error, "n.reg:2: key name longer than 255 characters");

    const std::string longValueName(16384, 'v');
    result =
        host::registry::loadText("REGEDIT4\n[HKLM\\A]\n\"" + longValueName + "\"=\"\"\n", "v.reg");
    EXPECT_EQ(result.error, "v.reg:3: value name longer than 16383 characters");

    std::string bytes;
    for (std::size_t i = 0; i <= (1u << 20); ++i) bytes += "00,";
    result = host::registry::loadText("REGEDIT4\n[HKLM\\A]\n\"V\"=hex:" + bytes + "\n", "d.reg");
    EXPECT_EQ(result.error, "d.reg:3: value data larger than 1048576 bytes");

    std::string deep = "HKLM";
    for (int i = 0; i < 513; ++i) deep += "\\D";
    result = host::registry::loadText("REGEDIT4\n[" + deep + "]\n", "deep.reg");
    EXPECT_EQ(result.error, "deep.reg:2: key path deeper than 512 keys");
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, u"A"));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, u"D"));
}

}  // namespace

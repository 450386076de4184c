#include <gmock/gmock.h>
#include <host/registry.h>

#include "registry_fixture.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using RegExportTest = RegistryTest;

TEST_F(RegExportTest, ExportReadsBackToTheSameRegistry) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\03"));
    setString(key.get(), u"Name", u"COM3:");
    setString(key.get(), u"Quote \"and\" \\slash", u"C:\\dir\\\"x\"");
    setString(key.get(), u"Line", u"two\nlines");
    setDword(key.get(), nullptr, 0xDEADBEEF);
    const std::vector<BYTE> bytes(100, 0xAB);
    ASSERT_EQ(RegSetValueExW(key.get(), u"Blob", 0, REG_BINARY, bytes.data(), 100), ERROR_SUCCESS);
    const BYTE odd[] = {1, 2, 3};
    ASSERT_EQ(RegSetValueExW(key.get(), u"ShortWord", 0, REG_DWORD, odd, 3), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), u"Unterminated", 0, REG_SZ, odd, 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), u"Custom", 0, 0xABCD, odd, 3), ERROR_SUCCESS);
    ScopedKey user(createKey(HKEY_CURRENT_USER, u"Gr\u00FC\u00DFe\\Z\\A"));

    const auto first = host::registry::exportText();
    ASSERT_TRUE(first);
    EXPECT_THAT(*first, HasSubstr("[HKEY_LOCAL_MACHINE\\SYSTEM\\Versions]\n\"AKU\"=\".2.0\"\n"));
    EXPECT_THAT(*first, HasSubstr("@=dword:deadbeef\n"));
    EXPECT_THAT(*first, HasSubstr(",\\\n  ab,")) << "long hex data is wrapped";

    host::registry::reset();
    { ScopedKey gone(createKey(HKEY_LOCAL_MACHINE, u"NotInTheExport")); }
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"NotInTheExport"), ERROR_SUCCESS);
    const auto loaded = host::registry::loadText(*first, "export.reg");
    ASSERT_TRUE(loaded) << loaded.error;
    EXPECT_EQ(host::registry::exportText(), first);
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\03", u"Line").data,
              stringBytes(u"two\nlines"));
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\03", u"ShortWord").type,
              static_cast<DWORD>(REG_DWORD));
}

TEST_F(RegExportTest, ExportsOneSubtreeUnderItsOwnSpelling) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\04"));
    setString(key.get(), u"Name", u"DRX1:");
    const auto text = host::registry::exportText("hklm\\DRIVERS");
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "Windows Registry Editor Version 5.00\n"
              "\n[HKEY_LOCAL_MACHINE\\Drivers]\n"
              "\n[HKEY_LOCAL_MACHINE\\Drivers\\Active]\n"
              "\n[HKEY_LOCAL_MACHINE\\Drivers\\Active\\04]\n"
              "\"Name\"=\"DRX1:\"\n");
    EXPECT_THAT(*text, Not(HasSubstr("SYSTEM")));
    EXPECT_FALSE(host::registry::exportText("HKLM\\Drivers\\Missing"));
    EXPECT_FALSE(host::registry::exportText("HKEY_NOWHERE"));
    EXPECT_TRUE(host::registry::exportText("HKEY_USERS"));
}

}  // namespace

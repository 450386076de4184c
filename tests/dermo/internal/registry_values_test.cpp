#include "registry_values.h"

#include <gtest/gtest.h>
#include <host/registry.h>
#include <windows.h>

#include <vector>

namespace {

constexpr const WCHAR* kKey = u"Drivers\\Test\\Values";

struct Value {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

Value Query(const WCHAR* name) {
    HKEY key = nullptr;
    Value value;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, 0, &key) != ERROR_SUCCESS) return value;
    DWORD size = 0;
    RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
    value.data.resize(size);
    RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    RegCloseKey(key);
    return value;
}

class RegistryValuesTest : public ::testing::Test {
  protected:
    void SetUp() override { host::registry::reset(); }
};

TEST_F(RegistryValuesTest, SizesFollowTheTypes) {
    const DWORD number = 0x12345678;
    const WCHAR multi[] = u"ab\0cde\0";  // two strings, then the final terminator
    const RegistryValueEntry table[] = {
        {u"Text", REG_SZ, u"DERMO.DLL"},
        {u"Number", REG_DWORD, &number},
        {u"List", REG_MULTI_SZ, multi},
        {nullptr, REG_NONE, nullptr},
    };
    ASSERT_TRUE(WriteRegistryValues(kKey, table, TRUE));

    const Value text = Query(u"Text");
    EXPECT_EQ(text.type, DWORD{REG_SZ});
    EXPECT_EQ(text.data.size(), (9u + 1) * 2);
    const Value dword = Query(u"Number");
    EXPECT_EQ(dword.type, DWORD{REG_DWORD});
    ASSERT_EQ(dword.data.size(), 4u);
    EXPECT_EQ(dword.data[0], 0x78);
    const Value list = Query(u"List");
    EXPECT_EQ(list.type, DWORD{REG_MULTI_SZ});
    EXPECT_EQ(list.data.size(), (3u + 4 + 1) * 2);
}

TEST_F(RegistryValuesTest, WithoutOverwriteAnExistingKeyIsLeftAlone) {
    const RegistryValueEntry first[] = {{u"Prefix", REG_SZ, u"OLD"}, {nullptr, REG_NONE, nullptr}};
    const RegistryValueEntry second[] = {
        {u"Prefix", REG_SZ, u"DRX"}, {u"Dll", REG_SZ, u"DERMO.DLL"}, {nullptr, REG_NONE, nullptr}};
    ASSERT_TRUE(WriteRegistryValues(kKey, first, TRUE));
    EXPECT_TRUE(WriteRegistryValues(kKey, second, FALSE));
    EXPECT_EQ(Query(u"Prefix").data.size(), 8u);  // "OLD" and its terminator
    EXPECT_EQ(Query(u"Dll").type, DWORD{REG_NONE});

    EXPECT_TRUE(WriteRegistryValues(kKey, second, TRUE));
    EXPECT_EQ(Query(u"Dll").type, DWORD{REG_SZ});
}

TEST_F(RegistryValuesTest, WithoutOverwriteAMissingKeyIsWritten) {
    const RegistryValueEntry table[] = {{u"Prefix", REG_SZ, u"DRX"}, {nullptr, REG_NONE, nullptr}};
    EXPECT_TRUE(WriteRegistryValues(kKey, table, FALSE));
    EXPECT_EQ(Query(u"Prefix").type, DWORD{REG_SZ});
}

TEST_F(RegistryValuesTest, AnotherTypeOrMissingDataEndsTheWalk) {
    const BYTE blob[] = {1, 2, 3};
    const RegistryValueEntry binary[] = {{u"Before", REG_SZ, u"x"},
                                         {u"Blob", REG_BINARY, blob},
                                         {u"After", REG_SZ, u"y"},
                                         {nullptr, REG_NONE, nullptr}};
    EXPECT_FALSE(WriteRegistryValues(kKey, binary, TRUE));
    EXPECT_EQ(Query(u"Before").type, DWORD{REG_SZ});
    EXPECT_EQ(Query(u"After").type, DWORD{REG_NONE});

    const RegistryValueEntry missing[] = {{u"Null", REG_DWORD, nullptr},
                                          {nullptr, REG_NONE, nullptr}};
    EXPECT_FALSE(WriteRegistryValues(kKey, missing, TRUE));
    EXPECT_EQ(Query(u"Null").type, DWORD{REG_NONE});
}

}  // namespace

#include <gmock/gmock.h>
#include <host/registry.h>

#include <algorithm>

#include "registry_fixture.h"

using ::testing::ElementsAre;

namespace {

using RegApiTest = RegistryTest;

TEST_F(RegApiTest, BuiltInRegistryHoldsTheAkuAndAnEmptyActiveDriverList) {
    const StoredValue aku = readValue(HKEY_LOCAL_MACHINE, u"SYSTEM\\Versions", u"AKU");
    ASSERT_EQ(aku.result, ERROR_SUCCESS);
    EXPECT_EQ(aku.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(aku.data, stringBytes(u".2.0"));

    ScopedKey active;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Active", 0, KEY_READ, active.out()),
              ERROR_SUCCESS);
    WCHAR name[128];
    DWORD length = 128;
    EXPECT_EQ(RegEnumKeyExW(active.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(RegApiTest, CreateMakesIntermediateKeysAndReportsWhetherTheKeyIsNew) {
    ScopedKey first;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\USB\\ClientDrivers\\X", 0, nullptr, 0,
                              0, nullptr, first.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, u"Drivers\\USB"));

    ScopedKey again;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"DRIVERS\\usb\\clientdrivers\\x", 0, nullptr, 0,
                              0, nullptr, again.out(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_THAT(subkeyNames(HKEY_LOCAL_MACHINE, u"Drivers\\USB"), ElementsAre(u"ClientDrivers"));
}

TEST_F(RegApiTest, OpeningAMissingKeyFailsAndLeavesNoHandle) {
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Missing", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegApiTest, EmptyOrNullSubkeyOpensANewHandleToTheSameKey) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Test"));
    ScopedKey byNull;
    ScopedKey byEmpty;
    ASSERT_EQ(RegOpenKeyExW(key.get(), nullptr, 0, KEY_READ, byNull.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(key.get(), u"", 0, KEY_READ, byEmpty.out()), ERROR_SUCCESS);
    EXPECT_NE(byNull.get(), key.get());
    EXPECT_NE(byNull.get(), byEmpty.get());
    setDword(byNull.get(), u"Shared", 7);
    EXPECT_EQ(readValue(byEmpty.get(), u"Shared").data, (std::vector<BYTE>{7, 0, 0, 0}));
}

TEST_F(RegApiTest, SubkeysEnumerateInCreationOrderWithTheirOwnSpelling) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Order"));
    for (const char16_t* name : {u"Zeta", u"alpha", u"Mid", u"ALPHA"}) {
        ScopedKey sub(createKey(key.get(), name));
    }
    EXPECT_THAT(subkeyNames(key.get()), ElementsAre(u"Zeta", u"alpha", u"Mid"));
    EXPECT_TRUE(keyExists(key.get(), u"MID"));
}

TEST_F(RegApiTest, EnumKeyReportsNameLengthsAndTooSmallBuffers) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Sizes"));
    ScopedKey sub(createKey(key.get(), u"COM5"));

    WCHAR name[8] = {u'#', u'#', u'#', u'#', u'#', u'#', u'#', u'#'};
    DWORD length = 4;  // no room for the terminator
    EXPECT_EQ(RegEnumKeyExW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(name[0], u'#') << "a failed call must not write into the buffer";

    length = 5;
    FILETIME written{1, 1};
    ASSERT_EQ(RegEnumKeyExW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(length, 4u) << "the length excludes the terminator";
    EXPECT_EQ(std::u16string(name), u"COM5");

    length = 8;
    EXPECT_EQ(RegEnumKeyExW(key.get(), 1, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExW(key.get(), 0, nullptr, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumKeyExW(key.get(), 0, name, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegApiTest, QueryReportsTypeAndSizeAndRefusesTooSmallBuffers) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Query"));
    setString(key.get(), u"NAME", u"COM5:");

    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExW(key.get(), u"NAME", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 12u) << "five characters and the terminator, two bytes each";

    BYTE small[11];
    std::fill(std::begin(small), std::end(small), BYTE{0xEE});
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key.get(), u"NAME", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    EXPECT_TRUE(std::all_of(std::begin(small), std::end(small), [](BYTE b) { return b == 0xEE; }));

    BYTE exact[12];
    size = sizeof exact;
    ASSERT_EQ(RegQueryValueExW(key.get(), u"NAME", nullptr, nullptr, exact, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(exact, exact + 12), stringBytes(u"COM5:"));

    EXPECT_EQ(RegQueryValueExW(key.get(), u"NAME", nullptr, nullptr, exact, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Missing", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(RegApiTest, ValuesAreStoredExactlyAsGivenWithTheirType) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Types"));
    const BYTE unterminated[] = {'C', 0, 'O', 0, 'M', 0};
    const BYTE binary[] = {0, 1, 2, 0xFF};
    ASSERT_EQ(RegSetValueExW(key.get(), u"Raw", 0, REG_SZ, unterminated, sizeof unterminated),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), u"Bin", 0, REG_BINARY, binary, sizeof binary),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), u"Odd", 0, 0x1234, binary, 3), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), u"Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    setDword(key.get(), u"Word", 0x11223344);

    EXPECT_EQ(readValue(key.get(), u"Raw").data, std::vector<BYTE>(unterminated, unterminated + 6));
    EXPECT_EQ(readValue(key.get(), u"Bin").data, std::vector<BYTE>(binary, binary + 4));
    const StoredValue odd = readValue(key.get(), u"Odd");
    EXPECT_EQ(odd.type, 0x1234u);
    EXPECT_EQ(odd.data.size(), 3u);
    EXPECT_EQ(readValue(key.get(), u"Empty").result, ERROR_SUCCESS);
    EXPECT_TRUE(readValue(key.get(), u"Empty").data.empty());
    const StoredValue word = readValue(key.get(), u"Word");
    EXPECT_EQ(word.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(word.data, (std::vector<BYTE>{0x44, 0x33, 0x22, 0x11}));
}

TEST_F(RegApiTest, ValueNamesIgnoreCaseAndKeepTheirFirstSpelling) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\01"));
    setString(key.get(), u"Name", u"COM3:");
    setString(key.get(), u"NAME", u"COM4:");
    EXPECT_EQ(readString(key.get(), nullptr, u"name"), u"COM4:");

    WCHAR name[16];
    DWORD length = 16;
    ASSERT_EQ(RegEnumValueW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, length), u"Name");
    length = 16;
    EXPECT_EQ(RegEnumValueW(key.get(), 1, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(RegApiTest, NullAndEmptyValueNamesBothNameTheDefaultValue) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Default"));
    setDword(key.get(), nullptr, 5);
    EXPECT_EQ(readValue(key.get(), u"").data, (std::vector<BYTE>{5, 0, 0, 0}));
    EXPECT_EQ(RegDeleteValueW(key.get(), u""), ERROR_SUCCESS);
    EXPECT_EQ(readValue(key.get(), nullptr).result, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegApiTest, EnumValuesInCreationOrderWithSizesAndTooSmallBuffers) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Values"));
    setString(key.get(), u"Prefix", u"DRX");
    setDword(key.get(), u"Index", 1);

    WCHAR name[16];
    DWORD length = 16;
    DWORD type = 0;
    BYTE data[16];
    DWORD size = sizeof data;
    ASSERT_EQ(RegEnumValueW(key.get(), 0, name, &length, nullptr, &type, data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, length), u"Prefix");
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 8u);

    length = 5;  // "Index" needs six characters with its terminator
    size = sizeof data;
    EXPECT_EQ(RegEnumValueW(key.get(), 1, name, &length, nullptr, &type, data, &size),
              ERROR_MORE_DATA);

    length = 16;
    size = 3;
    EXPECT_EQ(RegEnumValueW(key.get(), 1, name, &length, nullptr, &type, data, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u) << "the size the data needs";

    length = 16;
    size = 0;
    ASSERT_EQ(RegEnumValueW(key.get(), 1, name, &length, nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));

    EXPECT_EQ(RegEnumValueW(key.get(), 2, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueW(key.get(), 0, name, &length, nullptr, nullptr, data, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegApiTest, DeletingAValueRemovesOnlyThatValue) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"Delete"));
    setDword(key.get(), u"A", 1);
    setDword(key.get(), u"B", 2);
    EXPECT_EQ(RegDeleteValueW(key.get(), u"a"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key.get(), u"A"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readValue(key.get(), u"A").result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readValue(key.get(), u"B").data, (std::vector<BYTE>{2, 0, 0, 0}));
}

TEST_F(RegApiTest, DeletingAKeyTakesItsSubkeysAndOpenHandlesReportTheDeletion) {
    ScopedKey deep(createKey(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\05\\Inner"));
    setDword(deep.get(), u"V", 1);
    ScopedKey sibling(createKey(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\06"));

    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"drivers\\active\\05"), ERROR_SUCCESS);
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\05\\Inner"));
    EXPECT_THAT(subkeyNames(HKEY_LOCAL_MACHINE, u"Drivers\\Active"), ElementsAre(u"06"));

    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(deep.get(), u"V", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExW(deep.get(), u"V", 0, REG_BINARY, nullptr, 0), ERROR_KEY_DELETED);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExW(deep.get(), u"More", 0, nullptr, 0, 0, nullptr, &child, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExW(deep.get(), nullptr, 0, 0, &child), ERROR_KEY_DELETED);

    // A key created again under the old name is a new key; the old handle stays deleted.
    ScopedKey reborn(createKey(HKEY_LOCAL_MACHINE, u"Drivers\\Active\\05\\Inner"));
    EXPECT_EQ(readValue(reborn.get(), u"V").result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(deep.get(), u"V", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
}

TEST_F(RegApiTest, DeleteKeyRefusesMissingKeysAndTheKeyItself) {
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Nowhere\\Key"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, u"SYSTEM\\Versions"));
}

TEST_F(RegApiTest, CloseAcceptsOnlyOpenKeysAndPredefinedRoots) {
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_USERS), ERROR_SUCCESS);
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, u"SYSTEM"));
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x80000004u)), ERROR_INVALID_HANDLE);

    HKEY key = createKey(HKEY_LOCAL_MACHINE, u"Close");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);

    // A handle of another kind is no key: the call refuses it and leaves it open.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(event)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExW(reinterpret_cast<HKEY>(event), u"x", 0, REG_BINARY, nullptr, 0),
              ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(RegApiTest, MalformedPathsAndOversizedNamesAreRefused) {
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"A\\\\B", 0, nullptr, 0, 0, nullptr, &key, nullptr),
        ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\SYSTEM", 0, 0, &key), ERROR_BAD_PATHNAME);
    const std::u16string longest(255, u'k');
    const std::u16string tooLong(256, u'k');
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, tooLong.c_str(), 0, nullptr, 0, 0, nullptr, &key,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    ScopedKey ok(createKey(HKEY_LOCAL_MACHINE, longest.c_str()));
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, u"SYSTEM\\Versions\\"));

    EXPECT_EQ(RegSetValueExW(ok.get(), u"x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    const std::vector<BYTE> huge((1u << 20) + 1);
    EXPECT_EQ(
        RegSetValueExW(ok.get(), u"x", 0, REG_BINARY, huge.data(), static_cast<DWORD>(huge.size())),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(readValue(ok.get(), u"x").result, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegApiTest, KeysBeyondTheDepthLimitAreRefused) {
    std::u16string path = u"D";
    for (int i = 1; i < 512; ++i) path += u"\\D";
    ScopedKey deepest(createKey(HKEY_CURRENT_USER, path.c_str()));
    HKEY tooDeep = nullptr;
    EXPECT_EQ(RegCreateKeyExW(deepest.get(), u"D", 0, nullptr, 0, 0, nullptr, &tooDeep, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"D"), ERROR_SUCCESS);
}

TEST_F(RegApiTest, ResetRestoresTheBuiltInRegistryAndRetiresOpenKeys) {
    ScopedKey key(createKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\Versions"));
    setString(key.get(), u"AKU", u"1.1");
    ScopedKey extra(createKey(HKEY_LOCAL_MACHINE, u"Extra"));
    host::registry::reset();
    EXPECT_EQ(readString(HKEY_LOCAL_MACHINE, u"SYSTEM\\Versions", u"AKU"), u".2.0");
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, u"Extra"));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key.get(), u"AKU", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
}

TEST_F(RegApiTest, RootsAreSeparateTrees) {
    ScopedKey user(createKey(HKEY_CURRENT_USER, u"Only"));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, u"Only"));
    EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, u"Only"));
    EXPECT_FALSE(keyExists(HKEY_USERS, u"Only"));
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, u"only"));
}

}  // namespace

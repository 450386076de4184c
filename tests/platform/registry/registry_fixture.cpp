#include "registry_fixture.h"

#include <host/handles.h>
#include <host/registry.h>

void RegistryTest::SetUp() {
    host::registry::reset();
    handlesAtStart_ = host::liveHandleCount();
}

void RegistryTest::TearDown() {
    EXPECT_EQ(host::liveHandleCount(), handlesAtStart_) << "a key was left open";
}

ScopedKey::~ScopedKey() {
    if (key_ != nullptr) {
        EXPECT_EQ(RegCloseKey(key_), ERROR_SUCCESS);
    }
}

HKEY createKey(HKEY parent, const char16_t* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
}

bool keyExists(HKEY parent, const char16_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::vector<BYTE> stringBytes(std::u16string_view s) {
    std::vector<BYTE> bytes;
    for (const char16_t c : s) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

void setString(HKEY key, const char16_t* name, std::u16string_view text) {
    const std::vector<BYTE> bytes = stringBytes(text);
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, bytes.data(), static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
}

void setDword(HKEY key, const char16_t* name, DWORD value) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
}

StoredValue readValue(HKEY key, const char16_t* name) {
    StoredValue value;
    DWORD size = 0;
    value.result = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
    if (value.result != ERROR_SUCCESS) return value;
    value.data.resize(size);
    value.result = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    value.data.resize(size);
    return value;
}

StoredValue readValue(HKEY root, const char16_t* path, const char16_t* name) {
    ScopedKey key;
    StoredValue value;
    value.result = RegOpenKeyExW(root, path, 0, KEY_READ, key.out());
    if (value.result != ERROR_SUCCESS) return value;
    return readValue(key.get(), name);
}

std::u16string readString(HKEY root, const char16_t* path, const char16_t* name) {
    const StoredValue value = readValue(root, path, name);
    std::u16string s;
    for (std::size_t i = 0; i + 1 < value.data.size(); i += 2)
        s.push_back(static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8));
    if (!s.empty() && s.back() == 0) s.pop_back();
    return s;
}

std::vector<std::u16string> subkeyNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD length = 256;
        const LONG result =
            RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) return names;
        EXPECT_EQ(result, ERROR_SUCCESS);
        if (result != ERROR_SUCCESS) return names;
        names.emplace_back(name, length);
    }
}

std::vector<std::u16string> subkeyNames(HKEY root, const char16_t* path) {
    ScopedKey key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return {};
    return subkeyNames(key.get());
}

// Shared setup of the registry tests: each starts from the built-in registry and must close
// every key it opens.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

  private:
    std::size_t handlesAtStart_ = 0;
};

// Owns an HKEY for the length of a test.
class ScopedKey {
  public:
    ScopedKey() = default;
    explicit ScopedKey(HKEY key) : key_(key) {}
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;
    ~ScopedKey();

    HKEY get() const { return key_; }
    HKEY* out() { return &key_; }

  private:
    HKEY key_ = nullptr;
};

// Creates (or opens) path under parent; fails the test when that does not work.
HKEY createKey(HKEY parent, const char16_t* path);
// The key opens: it exists.
bool keyExists(HKEY parent, const char16_t* path);

void setString(HKEY key, const char16_t* name, std::u16string_view text);
void setDword(HKEY key, const char16_t* name, DWORD value);

// The stored bytes and type of a value; empty with type REG_NONE when it cannot be read.
struct StoredValue {
    LONG result = ERROR_SUCCESS;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};
StoredValue readValue(HKEY key, const char16_t* name);
StoredValue readValue(HKEY root, const char16_t* path, const char16_t* name);

// The string of a REG_SZ value, without its terminator.
std::u16string readString(HKEY root, const char16_t* path, const char16_t* name);

// The names RegEnumKeyExW reports, in order.
std::vector<std::u16string> subkeyNames(HKEY key);
std::vector<std::u16string> subkeyNames(HKEY root, const char16_t* path);

// REG_SZ bytes: UTF-16LE code units and the terminator.
std::vector<BYTE> stringBytes(std::u16string_view s);

// Small typed reads and writes of registry values, for the device manager and its drivers.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace ce::devices {

// An open registry key, closed when it goes out of scope.
class RegKey {
  public:
    RegKey() = default;
    explicit RegKey(HKEY key) : key_(key) {}
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey();

    static RegKey open(HKEY root, std::u16string_view path);
    // Creates missing keys on the way; the last error is set when it fails.
    static RegKey create(HKEY root, std::u16string_view path);

    explicit operator bool() const { return key_ != nullptr; }
    HKEY get() const { return key_; }

    std::optional<std::u16string> readString(const WCHAR* name) const;
    std::optional<DWORD> readDword(const WCHAR* name) const;
    bool writeString(const WCHAR* name, std::u16string_view value) const;
    bool writeDword(const WCHAR* name, DWORD value) const;

  private:
    HKEY key_ = nullptr;
};

}  // namespace ce::devices

// The .reg text format: parsing it into a list of changes, and writing a subtree out in it.
//
// A file is parsed completely before anything is applied, so a file with an error changes
// nothing. Files come from users and tools and are treated as untrusted: the whole text, each
// name and each value's data are bounded.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "registry/key_tree.h"

namespace ce::registry {

inline constexpr std::size_t kMaxRegFileBytes = std::size_t{16} << 20;

struct RegValueChange {
    std::u16string name;  // empty for the default value (@)
    bool remove = false;  // "name"=-
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// One [key] section: the key is created (or, for [-key], deleted with its subkeys) and then its
// values are changed in file order.
struct RegKeyChange {
    Root root = Root::LocalMachine;
    std::vector<std::u16string> path;  // never deeper than kMaxKeyDepth, names within bounds
    bool remove = false;
    std::vector<RegValueChange> values;
};

// Parses the bytes of a .reg file: UTF-8 (with or without a byte order mark) or UTF-16LE with its
// byte order mark. On failure returns false with error set to "source:line: message".
bool parseRegFile(std::string_view bytes, std::string_view source, std::vector<RegKeyChange>& out,
                  std::string& error);

// With the registry locked. Writes key (named by path, e.g. HKEY_LOCAL_MACHINE\Drivers) and all
// its subkeys as sections, without the file header.
void writeRegSections(const Key& key, const std::u16string& path, std::string& out);

inline constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kRegFileHeader4 = "REGEDIT4";

}  // namespace ce::registry

// Host control API: the file system.
//
// The handheld's object store is one host directory, the root. Every path resolves from it,
// with or without a leading backslash (the handheld has no current directory); no path can leave
// it: a ".." that would climb above the root, and a path through a symbolic link inside the root
// whose target lies outside it (or does not exist), are refused with ERROR_ACCESS_DENIED. Names
// holding a character the handheld rejects (: * ? " < > | or a control character) fail with
// ERROR_INVALID_NAME. Names compare without case and keep the spelling they were created with;
// host names that fold alike, none of them spelled as asked, are refused with
// ERROR_ACCESS_DENIED.
#pragma once

#include <cstdint>
#include <string>

namespace host::files {

// Sets the root directory; it is created on first use if it does not exist. The default is
// "./ce-root".
void setRoot(const std::string& directory);
std::string root();

// A store that fills up: a WriteFile that would carry a file past `bytes` writes up to the limit
// and fails with ERROR_DISK_FULL, reporting what it wrote. For tests of a write cut short.
inline constexpr std::uint64_t kNoFileSizeLimit = UINT64_MAX;
void setFileSizeLimit(std::uint64_t bytes);

}  // namespace host::files

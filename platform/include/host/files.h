// Host control API: the file system.
//
// The handheld's object store is one host directory, the root. Every path resolves from it,
// with or without a leading backslash (the handheld has no current directory); no path can leave
// it: ".." never climbs above the root, and a symbolic link inside the root that leads outside it
// is refused with ERROR_ACCESS_DENIED.
#pragma once

#include <string>

namespace host::files {

// Sets the root directory; it is created on first use if it does not exist. The default is
// "./ce-root".
void setRoot(const std::string& directory);
std::string root();

}  // namespace host::files

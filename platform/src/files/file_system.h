// The handheld's object store, mapped onto one host directory (the root).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace ce::files {

// A handheld path resolved to a host path inside the root. On failure error holds the code for
// the last error: ERROR_INVALID_NAME for a character the handheld rejects, ERROR_ACCESS_DENIED
// for a path that would leave the root (through ".." or a symbolic link), ERROR_PATH_NOT_FOUND
// when the parent directory does not exist.
struct ResolvedPath {
    std::string host;
    DWORD error = ERROR_SUCCESS;
    bool isRoot = false;
};

ResolvedPath resolvePath(std::u16string_view path);

// The last-error code for a host errno value.
DWORD errorFromErrno(int error);

// CreateFileW on a name that is no device name.
HANDLE openFile(std::u16string_view path, DWORD access, DWORD disposition, DWORD flags);

}  // namespace ce::files

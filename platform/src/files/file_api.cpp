// Directory and attribute calls of the object store.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdio.h>

#include <cerrno>

#include "files/file_system.h"
#include "text/text.h"

namespace {

bool resolveOrFail(LPCWSTR name, ce::files::ResolvedPath& out) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    out = ce::files::resolvePath(ce::text::wideView(name));
    if (out.error != ERROR_SUCCESS) {
        SetLastError(out.error);
        return false;
    }
    return true;
}

bool failWith(DWORD error) {
    SetLastError(error);
    return false;
}

}  // namespace

extern "C" BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    ce::files::ResolvedPath path;
    if (!resolveOrFail(lpPathName, path)) return FALSE;
    if (path.exists) return failWith(ERROR_ALREADY_EXISTS);
    if (::mkdirat(path.directory.get(), path.name.c_str(), 0777) != 0)
        return failWith(ce::files::errorFromErrno(errno));
    return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    ce::files::ResolvedPath path;
    if (!resolveOrFail(lpFileName, path)) return INVALID_FILE_ATTRIBUTES;
    if (!path.exists) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (path.isDirectory) return FILE_ATTRIBUTE_DIRECTORY;
    return ::faccessat(path.directory.get(), path.name.c_str(), W_OK, 0) == 0
               ? FILE_ATTRIBUTE_NORMAL
               : FILE_ATTRIBUTE_READONLY;
}

extern "C" BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
    ce::files::ResolvedPath path;
    if (!resolveOrFail(lpFileName, path)) return FALSE;
    if (!path.exists) return failWith(ERROR_FILE_NOT_FOUND);
    if (path.isDirectory) return failWith(ERROR_ACCESS_DENIED);
    if (::unlinkat(path.directory.get(), path.name.c_str(), 0) != 0)
        return failWith(ce::files::errorFromErrno(errno));
    return TRUE;
}

// The handheld's MoveFileW never replaces: an existing target, in any spelling, fails with
// ERROR_ALREADY_EXISTS, and the host rename refuses a target that appears meanwhile.
extern "C" BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
    ce::files::ResolvedPath from;
    ce::files::ResolvedPath to;
    if (!resolveOrFail(lpExistingFileName, from) || !resolveOrFail(lpNewFileName, to)) return FALSE;
    if (!from.exists) return failWith(ERROR_FILE_NOT_FOUND);
    if (to.exists) return failWith(ERROR_ALREADY_EXISTS);
    const int fromDirectory = from.directory.get();
    const int toDirectory = to.directory.get();
    if (::renameat2(fromDirectory, from.name.c_str(), toDirectory, to.name.c_str(),
                    RENAME_NOREPLACE) == 0)
        return TRUE;
    // A host file system without the no-replace rename: a hard link fails just as well on an
    // existing target.
    if (errno != EINVAL || from.isDirectory) return failWith(ce::files::errorFromErrno(errno));
    if (::linkat(fromDirectory, from.name.c_str(), toDirectory, to.name.c_str(), 0) != 0)
        return failWith(ce::files::errorFromErrno(errno));
    ::unlinkat(fromDirectory, from.name.c_str(), 0);
    return TRUE;
}

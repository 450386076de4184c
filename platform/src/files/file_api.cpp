// Directory and attribute calls of the object store.
#include <sys/stat.h>
#include <unistd.h>

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

// The code for a path that does not exist: a missing file in an existing directory, or a
// missing directory on the way.
DWORD missingError(const std::string& hostPath) {
    const std::string parent = hostPath.substr(0, hostPath.find_last_of('/'));
    struct stat info;
    return ::stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                       : ERROR_PATH_NOT_FOUND;
}

}  // namespace

extern "C" BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    ce::files::ResolvedPath path;
    if (!resolveOrFail(lpPathName, path)) return FALSE;
    if (::mkdir(path.host.c_str(), 0777) != 0) {
        SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                         : ce::files::errorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    ce::files::ResolvedPath path;
    if (!resolveOrFail(lpFileName, path)) return INVALID_FILE_ATTRIBUTES;
    struct stat info;
    if (::stat(path.host.c_str(), &info) != 0) {
        SetLastError(errno == ENOENT ? missingError(path.host) : ce::files::errorFromErrno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(info.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    return ::access(path.host.c_str(), W_OK) == 0 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

extern "C" BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
    ce::files::ResolvedPath path;
    if (!resolveOrFail(lpFileName, path)) return FALSE;
    struct stat info;
    if (::lstat(path.host.c_str(), &info) != 0) {
        SetLastError(errno == ENOENT ? missingError(path.host) : ce::files::errorFromErrno(errno));
        return FALSE;
    }
    if (S_ISDIR(info.st_mode) || ::unlink(path.host.c_str()) != 0) {
        SetLastError(S_ISDIR(info.st_mode) ? ERROR_ACCESS_DENIED
                                           : ce::files::errorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

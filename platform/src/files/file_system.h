// The handheld's object store, mapped onto one host directory (the root).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace ce::files {

// A host descriptor, closed when it goes out of scope.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();

    int get() const { return fd_; }
    int release();

  private:
    int fd_ = -1;
};

// A handheld path resolved inside the root: the host directory that holds the entry, and the
// entry's host name in it ("." for the root itself). Every directory on the way was opened from
// the one before without following links; links were followed by hand and only while they stay
// inside the root. Callers reach the entry with the *at calls and never follow a link there
// (O_NOFOLLOW, AT_SYMLINK_NOFOLLOW), so a link planted after the resolution leads nowhere.
//
// Names compare as the handheld compares them, without case: an entry spelled exactly as asked
// is taken first, else the one entry whose name folds alike. Several such entries and no exact
// one are refused rather than one picked.
//
// On failure error holds the code for the last error: ERROR_INVALID_NAME for a character the
// handheld rejects, ERROR_ACCESS_DENIED for a path that would leave the root (through ".." or a
// symbolic link) or that names several host entries, ERROR_PATH_NOT_FOUND when a directory on
// the way does not exist.
struct ResolvedPath {
    UniqueFd directory;
    std::string name;
    bool exists = false;
    bool isDirectory = false;
    DWORD error = ERROR_SUCCESS;
};

ResolvedPath resolvePath(std::u16string_view path);

// The last-error code for a host errno value.
DWORD errorFromErrno(int error);

// CreateFileW on a name that is no device name.
HANDLE openFile(std::u16string_view path, DWORD access, DWORD disposition, DWORD flags);

}  // namespace ce::files

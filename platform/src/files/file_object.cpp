// Open files of the object store: a host descriptor behind a handle. The descriptor is closed
// when the last reference goes, so a call in flight on another thread never sees it reused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <host/files.h>

#include "files/file_system.h"
#include "files/io_object.h"

namespace ce::files {
namespace {

std::atomic<std::uint64_t> fileSizeLimit{host::files::kNoFileSizeLimit};

// How much of `count` bytes may be written at the descriptor's position under the limit.
DWORD allowedByLimit(int fd, DWORD count) {
    const std::uint64_t limit = fileSizeLimit.load(std::memory_order_relaxed);
    if (limit == host::files::kNoFileSizeLimit) return count;
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position < 0) return count;
    const auto at = static_cast<std::uint64_t>(position);
    return at >= limit ? 0 : static_cast<DWORD>(std::min<std::uint64_t>(count, limit - at));
}

class FileObject final : public IoObject {
  public:
    FileObject(int fd, DWORD access) : fd_(fd), access_(access) {}
    ~FileObject() override { ::close(fd_); }

    BOOL read(void* buffer, DWORD count, DWORD* done) override {
        if ((access_ & GENERIC_READ) == 0) return fail(ERROR_ACCESS_DENIED);
        DWORD total = 0;
        while (total < count) {
            const ssize_t n = ::read(fd_, static_cast<char*>(buffer) + total, count - total);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return fail(errorFromErrno(errno));
            if (n == 0) break;
            total += static_cast<DWORD>(n);
        }
        *done = total;
        return TRUE;
    }

    BOOL write(const void* buffer, DWORD count, DWORD* done) override {
        if ((access_ & GENERIC_WRITE) == 0) return fail(ERROR_ACCESS_DENIED);
        const DWORD allowed = allowedByLimit(fd_, count);
        DWORD total = 0;
        while (total < allowed) {
            const ssize_t n =
                ::write(fd_, static_cast<const char*>(buffer) + total, allowed - total);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *done = total;
                return fail(errorFromErrno(errno));
            }
            total += static_cast<DWORD>(n);
        }
        *done = total;
        return allowed == count ? TRUE : fail(ERROR_DISK_FULL);
    }

    DWORD seek(LONG distance, LONG* distanceHigh, DWORD method) override {
        int whence = SEEK_SET;
        switch (method) {
            case FILE_BEGIN:
                whence = SEEK_SET;
                break;
            case FILE_CURRENT:
                whence = SEEK_CUR;
                break;
            case FILE_END:
                whence = SEEK_END;
                break;
            default:
                SetLastError(ERROR_INVALID_PARAMETER);
                return INVALID_SET_FILE_POINTER;
        }
        // Without a high word the distance is a signed 32-bit value; with one, the two words
        // form a signed 64-bit distance.
        const off_t offset =
            distanceHigh != nullptr
                ? static_cast<off_t>(
                      (static_cast<std::uint64_t>(static_cast<DWORD>(*distanceHigh)) << 32) |
                      static_cast<DWORD>(distance))
                : static_cast<off_t>(distance);
        const off_t position = ::lseek(fd_, offset, whence);
        if (position < 0) {
            SetLastError(errno == EINVAL ? ERROR_INVALID_PARAMETER : errorFromErrno(errno));
            return INVALID_SET_FILE_POINTER;
        }
        if (distanceHigh != nullptr) *distanceHigh = static_cast<LONG>(position >> 32);
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(position);
    }

    BOOL ioControl(DWORD, void*, DWORD, void*, DWORD, DWORD*) override {
        return fail(ERROR_NOT_SUPPORTED);
    }

  private:
    static BOOL fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }

    const int fd_;
    const DWORD access_;
};

}  // namespace

HANDLE openFile(std::u16string_view path, DWORD access, DWORD disposition, DWORD) {
    const ResolvedPath resolved = resolvePath(path);
    if (resolved.error != ERROR_SUCCESS) {
        SetLastError(resolved.error);
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC;
    const bool reads = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    const bool writes = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    switch (disposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            flags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            if (!writes) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return INVALID_HANDLE_VALUE;
            }
            flags |= O_TRUNC;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    if (resolved.isDirectory) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // O_NOFOLLOW: a link planted in the file's place since the resolution is not followed.
    const int fd =
        ::openat(resolved.directory.get(), resolved.name.c_str(), flags | O_NOFOLLOW, 0666);
    if (fd < 0) {
        SetLastError(errno == EEXIST  ? ERROR_FILE_EXISTS
                     : errno == ELOOP ? ERROR_ACCESS_DENIED
                                      : errorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    const bool existed = resolved.exists;
    const DWORD granted = (reads ? GENERIC_READ : 0) | (writes ? GENERIC_WRITE : 0);
    HANDLE handle = kernel::insertHandle(std::make_shared<FileObject>(fd, granted));
    // As on the desktop, a successful CREATE_ALWAYS or OPEN_ALWAYS tells whether the file was
    // already there.
    const bool reportsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

}  // namespace ce::files

void host::files::setFileSizeLimit(std::uint64_t bytes) {
    ce::files::fileSizeLimit.store(bytes, std::memory_order_relaxed);
}

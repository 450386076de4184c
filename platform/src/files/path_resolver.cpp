// Handheld paths to host entries. Both "\QUOX\a.bin" and "QUOX\a.bin" name the same file: the
// handheld has no current directory. Resolution walks the path one name at a time through
// opened directories, so no check can be outrun by a link planted after it: ".." that would
// climb above the root is refused, and so is a symbolic link whose target lies outside it.
#include <dirent.h>
#include <fcntl.h>
#include <host/files.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <vector>

#include "files/file_system.h"
#include "text/text.h"

namespace ce::files {
namespace {

constexpr std::size_t kMaxPath = 260;
// Links followed in one resolution; a path that needs more goes round in a loop.
constexpr int kMaxLinks = 32;

struct RootState {
    std::mutex lock;
    std::string directory = "./ce-root";
};

RootState& rootState() {
    static auto* state = new RootState;
    return *state;
}

bool isRejected(char16_t c) {
    return c < 0x20 || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<' || c == u'>' ||
           c == u'|';
}

// The names of a handheld path, with "." and ".." applied, in host spelling.
DWORD splitHandheldPath(std::u16string_view path, std::deque<std::string>& parts) {
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    if (path.size() >= kMaxPath) return ERROR_FILENAME_EXCED_RANGE;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of(u"\\/", start);
        if (end == std::u16string_view::npos) end = path.size();
        const std::u16string_view part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            if (parts.empty()) return ERROR_ACCESS_DENIED;
            parts.pop_back();
            continue;
        }
        for (const char16_t c : part)
            if (isRejected(c)) return ERROR_INVALID_NAME;
        parts.push_back(text::toUtf8(part));
    }
    return ERROR_SUCCESS;
}

bool isInside(const std::string& path, const std::string& root) {
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            (root.back() == '/' || path[root.size()] == '/'));
}

struct Entry {
    std::string name;  // the host spelling
    bool exists = false;
    mode_t mode = 0;
    DWORD error = ERROR_SUCCESS;
};

// The entry of directory that name stands for: the one spelled so, else the one entry whose
// name (well-formed UTF-8) folds alike. The entry itself is not followed if it is a link.
Entry findEntry(int directory, const std::string& name) {
    struct stat info;
    if (fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return {name, true, info.st_mode};
    if (errno != ENOENT) return {name, false, 0, errorFromErrno(errno)};
    const int listing = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listing >= 0 ? fdopendir(listing) : nullptr;
    if (entries == nullptr) {
        const int error = errno;
        if (listing >= 0) ::close(listing);
        return {name, false, 0, errorFromErrno(error)};
    }
    const std::u16string wanted = text::toWide(name);
    std::vector<std::string> alike;
    while (const dirent* entry = readdir(entries)) {
        const std::u16string wide = text::toWide(entry->d_name);
        if (text::equalsIgnoreCase(wide, wanted) && text::toUtf8(wide) == entry->d_name)
            alike.emplace_back(entry->d_name);
    }
    closedir(entries);
    if (alike.empty()) return {name, false};
    if (alike.size() > 1) return {name, false, 0, ERROR_ACCESS_DENIED};
    if (fstatat(directory, alike.front().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return {name, false, 0, errno == ENOENT ? DWORD{ERROR_SUCCESS} : errorFromErrno(errno)};
    return {alike.front(), true, info.st_mode};
}

bool readLink(int directory, const std::string& name, std::string& target) {
    char buffer[PATH_MAX];
    const ssize_t length = readlinkat(directory, name.c_str(), buffer, sizeof buffer);
    if (length < 0 || static_cast<std::size_t>(length) == sizeof buffer) return false;
    target.assign(buffer, static_cast<std::size_t>(length));
    return true;
}

// Puts the names of a link's target in front of the names still to resolve.
void prependNames(const std::string& target, std::deque<std::string>& pending) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= target.size()) {
        const std::size_t end = std::min(target.find('/', start), target.size());
        std::string name = target.substr(start, end - start);
        if (!name.empty() && name != ".") names.push_back(std::move(name));
        start = end + 1;
    }
    pending.insert(pending.begin(), names.begin(), names.end());
}

ResolvedPath failed(DWORD error) {
    ResolvedPath result;
    result.error = error;
    return result;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

ResolvedPath resolvePath(std::u16string_view path) {
    std::deque<std::string> pending;
    if (const DWORD error = splitHandheldPath(path, pending); error != ERROR_SUCCESS)
        return failed(error);

    const std::string rootPath = host::files::root();
    std::error_code ignored;
    std::filesystem::create_directories(rootPath, ignored);
    // Absolute link targets are judged against the root's real location.
    char realRoot[PATH_MAX];
    std::vector<UniqueFd> directories;
    directories.emplace_back(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directories.back().get() < 0 || realpath(rootPath.c_str(), realRoot) == nullptr)
        return failed(ERROR_PATH_NOT_FOUND);

    int links = 0;
    while (!pending.empty()) {
        const std::string part = std::move(pending.front());
        pending.pop_front();
        if (part == "..") {  // only a link's target has one here
            if (directories.size() == 1) return failed(ERROR_ACCESS_DENIED);
            directories.pop_back();
            continue;
        }
        const int directory = directories.back().get();
        const Entry entry = findEntry(directory, part);
        if (entry.error != ERROR_SUCCESS) return failed(entry.error);
        if (entry.exists && S_ISLNK(entry.mode)) {
            std::string target;
            if (++links > kMaxLinks) return failed(ERROR_ACCESS_DENIED);
            if (!readLink(directory, entry.name, target)) return failed(errorFromErrno(errno));
            if (target.starts_with('/')) {
                if (!isInside(target, realRoot)) return failed(ERROR_ACCESS_DENIED);
                target.erase(0, std::strlen(realRoot));
                directories.resize(1);
            }
            prependNames(target, pending);
            continue;
        }
        if (pending.empty()) {
            ResolvedPath result;
            result.directory = std::move(directories.back());
            result.name = entry.name;
            result.exists = entry.exists;
            result.isDirectory = entry.exists && S_ISDIR(entry.mode);
            return result;
        }
        if (!entry.exists || !S_ISDIR(entry.mode)) return failed(ERROR_PATH_NOT_FOUND);
        // O_NOFOLLOW: a link put in the directory's place since the look-up is not followed.
        UniqueFd next(
            openat(directory, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0)
            return failed(errno == ELOOP                        ? ERROR_ACCESS_DENIED
                          : errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                                : errorFromErrno(errno));
        directories.push_back(std::move(next));
    }
    ResolvedPath result;
    result.directory = std::move(directories.back());
    result.name = ".";
    result.exists = result.isDirectory = true;
    return result;
}

DWORD errorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOSPC:
            return ERROR_WRITE_FAULT;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace ce::files

void host::files::setRoot(const std::string& directory) {
    auto& state = ce::files::rootState();
    std::lock_guard guard(state.lock);
    state.directory = directory;
}

std::string host::files::root() {
    auto& state = ce::files::rootState();
    std::lock_guard guard(state.lock);
    return state.directory;
}

// Handheld paths to host paths. Both "\QUOX\a.bin" and "QUOX\a.bin" name the same file: the
// handheld has no current directory. The result can never leave the root: ".." that would climb
// above it is refused, and so is an existing path whose real location (symbolic links followed)
// lies outside it.
#include <host/files.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <vector>

#include "files/file_system.h"
#include "text/text.h"

namespace ce::files {
namespace {

constexpr std::size_t kMaxPath = 260;

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

// The real path of the root, creating the directory on first use.
std::string realRoot() {
    const std::string directory = host::files::root();
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    char real[PATH_MAX];
    if (realpath(directory.c_str(), real) == nullptr) return {};
    return real;
}

bool isInside(const std::string& real, const std::string& root) {
    return real == root || (real.size() > root.size() && real.compare(0, root.size(), root) == 0 &&
                            (root.back() == '/' || real[root.size()] == '/'));
}

std::string realPathOf(const std::string& path) {
    char real[PATH_MAX];
    return realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

}  // namespace

ResolvedPath resolvePath(std::u16string_view path) {
    ResolvedPath result;
    if (path.empty()) {
        result.error = ERROR_PATH_NOT_FOUND;
        return result;
    }
    if (path.size() >= kMaxPath) {
        result.error = ERROR_FILENAME_EXCED_RANGE;
        return result;
    }
    std::vector<std::u16string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of(u"\\/", start);
        if (end == std::u16string_view::npos) end = path.size();
        const std::u16string_view part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            if (parts.empty()) {
                result.error = ERROR_ACCESS_DENIED;
                return result;
            }
            parts.pop_back();
            continue;
        }
        for (const char16_t c : part)
            if (isRejected(c)) {
                result.error = ERROR_INVALID_NAME;
                return result;
            }
        parts.push_back(part);
    }

    const std::string root = realRoot();
    if (root.empty()) {
        result.error = ERROR_PATH_NOT_FOUND;
        return result;
    }
    result.host = root;
    for (const auto part : parts) {
        result.host += '/';
        result.host += text::toUtf8(part);
    }
    result.isRoot = parts.empty();

    // Symbolic links inside the root must not lead out of it. An existing path is judged by its
    // real location; a path still to be created by the real location of its parent. A link whose
    // target does not exist is refused too: creating through it could create a file outside.
    struct stat info;
    if (lstat(result.host.c_str(), &info) == 0) {
        const std::string real = realPathOf(result.host);
        if (real.empty() || !isInside(real, root)) result.error = ERROR_ACCESS_DENIED;
        return result;
    }
    const std::string parent = result.host.substr(0, result.host.find_last_of('/'));
    const std::string realParent = realPathOf(parent);
    if (realParent.empty()) {
        result.error =
            errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : errorFromErrno(errno);
    } else if (!isInside(realParent, root)) {
        result.error = ERROR_ACCESS_DENIED;
    }
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

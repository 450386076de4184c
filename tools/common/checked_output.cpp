#include "checked_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tool_output {

std::string closedStandardStream() {
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1) return "standard output";
    if (fcntl(STDERR_FILENO, F_GETFD) == -1) return "standard error";
    return {};
}

void CheckedStream::write(std::string_view text) {
    errno = 0;
    out_ << text << std::flush;
    // A stream's own failure (no system call behind it) has no errno.
    if (!out_ && error_ == 0) error_ = errno != 0 ? errno : EIO;
}

std::string CheckedStream::failure() const {
    return error_ == 0 ? std::string() : std::strerror(error_);
}

}  // namespace tool_output

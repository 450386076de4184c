// Whether what a tool writes reaches its destination: a full disk, a closed pipe or a closed
// descriptor must not pass for a run that showed its results.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace tool_output {

// "standard output" or "standard error" when that descriptor is closed, else empty. A tool
// refuses to start then: the next file it opened would take the descriptor's number.
std::string closedStandardStream();

// A stream whose writes are checked: the first failure is kept with the system's reason.
class CheckedStream {
  public:
    explicit CheckedStream(std::ostream& out) : out_(out) {}

    // Writes the text and flushes it.
    void write(std::string_view text);
    // The reason the first failed write gave ("No space left on device"); empty while every
    // write succeeded.
    std::string failure() const;

  private:
    std::ostream& out_;
    int error_ = 0;
};

}  // namespace tool_output

// Everything the tool prints on standard output: the library's status texts and state changes
// (which arrive on the library's threads) and the result of every command, one line each, as
// text or as one JSON object per line. One lock keeps lines whole.
#pragma once

#include <cstdint>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "checked_output.h"

namespace kest_tool {

enum class Format { Text, Json };

// One key=value of a result line.
struct Field {
    std::string key;
    std::variant<std::int64_t, std::string> value;
};

class Console {
  public:
    // The one console of the process. It is never destroyed, so that a library thread still
    // inside a handler at exit finds it intact.
    static Console& instance();

    // On a terminal the download's progress is a bar drawn in place.
    void configure(Format format, bool quiet, bool terminal = false);

    // status: TEXT (nothing when quiet)
    void status(std::string_view text);
    // state: N NAME
    void state(int state);
    // result: COMMAND CODE key=value ...
    void result(std::string_view command, int code, const std::vector<Field>& fields);
    // A shell line that was not run: only with JSON, {"event":"refused","line":N,"reason":...}
    // (text lines say it on standard error alone).
    void refused(std::size_t line, std::string_view reason);
    // Lines of help text as they are, or with JSON {"event":"help","text":...}.
    void help(std::string_view text);
    // An error message for standard error; a progress bar on the screen is left on a line of its
    // own first, so that the message starts a line.
    void error(std::string_view text);
    // progress: RECEIVED/TOTAL bytes; on a terminal the bar instead, which other lines push
    // down: it is cleared before each of them and drawn again after it.
    void progress(std::int64_t received, std::int64_t total);
    // Leaves the bar as it was drawn last, on a line of its own.
    void endProgress();
    // Why standard output could not be written; empty while every line was.
    std::string outputFailure();

  private:
    Console() = default;
    void emit(const std::string& line);
    void drawBar();

    std::mutex lock_;
    tool_output::CheckedStream out_{std::cout};
    Format format_ = Format::Text;
    bool quiet_ = false;
    bool terminal_ = false;
    std::string bar_;  // while a bar is shown
};

}  // namespace kest_tool

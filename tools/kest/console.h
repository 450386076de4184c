// Everything the tool prints on standard output: the library's status texts and state changes
// (which arrive on the library's threads) and the result of every command, one line each, as
// text or as one JSON object per line. One lock keeps lines whole.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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

    void configure(Format format, bool quiet);

    // status: TEXT (nothing when quiet)
    void status(std::string_view text);
    // state: N NAME
    void state(int state);
    // result: COMMAND CODE key=value ...
    void result(std::string_view command, int code, const std::vector<Field>& fields);
    // The shell's prompt, without a line end.
    void prompt();

  private:
    Console() = default;
    void emit(const std::string& line);

    std::mutex lock_;
    Format format_ = Format::Text;
    bool quiet_ = false;
};

}  // namespace kest_tool

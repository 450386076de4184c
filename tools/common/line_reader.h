// The shells' input: on a terminal, lines with editing and history (libedit: the arrows, ^R,
// the usual keys); otherwise lines as they come. A prompt only on a terminal.
#pragma once

#include <istream>
#include <optional>
#include <string>

namespace tool_text {

// Whether the descriptor is a terminal that takes cursor control: not when TERM is unset or
// "dumb".
bool cursorTerminal(int fd);

class LineReader {
  public:
    // `terminal`: `in` is standard input and that is a terminal; it is then read through the
    // line editor when the terminal takes cursor control.
    LineReader(std::istream& in, bool terminal, std::string prompt);

    // The next line; nullopt at the end of input (on a terminal, Ctrl-D: the line is ended so
    // that what follows starts on a line of its own).
    std::optional<std::string> next();

  private:
    std::istream& in_;
    const std::string prompt_;
    const bool terminal_;
    const bool editing_;
};

}  // namespace tool_text

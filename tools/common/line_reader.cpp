#include "line_reader.h"

#include <editline/readline.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

namespace tool_text {

bool cursorTerminal(int fd) {
    const char* term = std::getenv("TERM");
    return isatty(fd) == 1 && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

LineReader::LineReader(std::istream& in, bool terminal, std::string prompt)
    : in_(in),
      prompt_(std::move(prompt)),
      terminal_(terminal),
      editing_(terminal_ && cursorTerminal(STDIN_FILENO)) {}

std::optional<std::string> LineReader::next() {
    if (editing_) {
        const std::unique_ptr<char, decltype(&std::free)> line(readline(prompt_.c_str()),
                                                               &std::free);
        if (line == nullptr) {
            std::cout << std::endl;
            return std::nullopt;
        }
        if (*line != '\0') add_history(line.get());
        return std::string(line.get());
    }
    if (terminal_) std::cout << prompt_ << std::flush;
    std::string line;
    if (std::getline(in_, line)) return line;
    if (terminal_) std::cout << std::endl;
    return std::nullopt;
}

}  // namespace tool_text

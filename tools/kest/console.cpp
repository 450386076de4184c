#include "console.h"

#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>

#include "shown_text.h"
#include "state_names.h"

namespace kest_tool {
namespace {

using Json = nlohmann::ordered_json;

// Back to the start of the line, and the line erased.
const std::string kClearLine = "\r\x1b[K";

std::string line(const Json& object) {
    return object.dump();
}

}  // namespace

Console& Console::instance() {
    static Console* const console = new Console;
    return *console;
}

void Console::configure(Format format, bool quiet, bool terminal) {
    std::lock_guard guard(lock_);
    format_ = format;
    quiet_ = quiet;
    terminal_ = terminal;
}

void Console::status(std::string_view text) {
    std::lock_guard guard(lock_);
    if (quiet_) return;
    if (format_ == Format::Json)
        emit(line(Json{{"event", "status"}, {"text", tool_text::forJson(text)}}));
    else
        emit("status: " + tool_text::shown(text));
}

void Console::state(int state) {
    std::lock_guard guard(lock_);
    const std::string name(stateName(state));
    if (format_ == Format::Json)
        emit(line(Json{{"event", "state"}, {"state", state}, {"name", name}}));
    else
        emit("state: " + std::to_string(state) + " " + name);
}

void Console::result(std::string_view command, int code, const std::vector<Field>& fields) {
    std::lock_guard guard(lock_);
    if (format_ == Format::Json) {
        Json object{{"event", "result"}, {"command", tool_text::forJson(command)}, {"code", code}};
        for (const Field& field : fields) {
            if (const auto* number = std::get_if<std::int64_t>(&field.value))
                object[field.key] = *number;
            else
                object[field.key] = tool_text::forJson(std::get<std::string>(field.value));
        }
        emit(line(object));
        return;
    }
    std::string text = "result: " + std::string(command) + " " + std::to_string(code);
    for (const Field& field : fields) {
        text += " " + field.key + "=";
        if (const auto* number = std::get_if<std::int64_t>(&field.value))
            text += std::to_string(*number);
        else
            text += tool_text::quoted(std::get<std::string>(field.value));
    }
    emit(text);
}

void Console::refused(std::size_t line, std::string_view reason) {
    std::lock_guard guard(lock_);
    if (format_ == Format::Json)
        emit(Json{{"event", "refused"}, {"line", line}, {"reason", tool_text::forJson(reason)}}
                 .dump());
}

void Console::help(std::string_view text) {
    std::lock_guard guard(lock_);
    if (format_ == Format::Json)
        emit(Json{{"event", "help"}, {"text", text}}.dump());
    else
        out_.write(text);
}

void Console::error(std::string_view text) {
    std::lock_guard guard(lock_);
    if (!bar_.empty()) {
        bar_.clear();
        out_.write("\n");
    }
    std::cerr << text << std::endl;
}

std::string Console::outputFailure() {
    std::lock_guard guard(lock_);
    return out_.failure();
}

void Console::progress(std::int64_t received, std::int64_t total) {
    std::lock_guard guard(lock_);
    if (format_ == Format::Json) {
        emit(line(Json{{"event", "progress"}, {"received", received}, {"total", total}}));
        return;
    }
    const std::string counts = std::to_string(received) + "/" + std::to_string(total) + " bytes";
    if (!terminal_) {
        emit("progress: " + counts);
        return;
    }
    constexpr std::int64_t kWidth = 30;
    const std::int64_t shown = std::clamp<std::int64_t>(received, 0, total);
    const std::int64_t filled = total > 0 ? shown * kWidth / total : 0;
    const std::int64_t percent = total > 0 ? shown * 100 / total : 0;
    bar_ = "download [" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(kWidth - filled), '.') + "] " +
           std::to_string(percent) + "% " + counts;
    drawBar();
}

void Console::endProgress() {
    std::lock_guard guard(lock_);
    if (bar_.empty()) return;
    bar_.clear();
    out_.write("\n");
}

// Called with lock_ held.
void Console::drawBar() {
    out_.write(kClearLine + bar_);
}

// Called with lock_ held. Flushed at once: a script reading the output waits for each line.
void Console::emit(const std::string& text) {
    if (bar_.empty())
        out_.write(text + "\n");
    else
        out_.write(kClearLine + text + "\n" + kClearLine + bar_);
}

}  // namespace kest_tool

// Plays the application: registers itself through the exports as the state-change and the
// status-message handler and records what they receive, in order, with waits for a given text
// or state. The library must be attached when it is created.
//
// One recorder at a time. Its handlers stay registered in the library's slots after it is gone
// (the slots outlive a detach), but then record nothing.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "wait_until.h"

namespace kest_test {

class ApplicationRecorder {
  public:
    ApplicationRecorder();
    ~ApplicationRecorder();
    ApplicationRecorder(const ApplicationRecorder&) = delete;
    ApplicationRecorder& operator=(const ApplicationRecorder&) = delete;

    std::vector<std::string> statuses() const;
    std::vector<int> states() const;
    int statusCount(const std::string& text) const;
    // The time from the first status `first` to the first status `next` received after it.
    std::optional<std::chrono::steady_clock::duration> timeBetween(const std::string& first,
                                                                   const std::string& next) const;
    void clear();

    // True once the text (or state) has been received, also before the call.
    bool waitForStatus(const std::string& text, std::chrono::milliseconds limit = kPatience) const;
    bool waitForState(int state, std::chrono::milliseconds limit = kPatience) const;

    // Runs after each status text (state) is recorded, on the library's thread that reported
    // it, as an application's own handler would; the recorder holds no lock meanwhile. An empty
    // function ends the reaction.
    void onStatus(std::function<void(const std::string&)> reaction);
    void onState(std::function<void(int)> reaction);

  private:
    static void recordStatus(const char* text);
    static void recordState(int state);
};

}  // namespace kest_test

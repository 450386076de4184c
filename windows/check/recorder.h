// What kest.dll tells the application through its two handlers, kept for the checks to wait
// on and look at. The handlers are plain functions, so each recorder is a global object and
// recordStatus<R> / recordState<R> are the handlers that feed recorder R.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace wine_check {

class Recorder {
  public:
    Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    void addStatus(const char* text);
    void addState(int state);
    void clear();

    // The status texts received so far, without the monitor thread's start lines, which come
    // whenever that thread starts and so may or may not follow the handler's registration.
    std::vector<std::string> statuses() const;
    std::vector<int> states() const;
    // How often `text` came at index `from` or later.
    int count(const std::string& text, std::size_t from = 0) const;

    // The index of the first `text` at index `from` or later, waiting up to timeoutMs for it;
    // kNone when it did not come in time.
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t waitForStatus(const std::string& text, DWORD timeoutMs, std::size_t from = 0);
    // True once `state` was reported at index `from` of the states or later, within timeoutMs.
    bool waitForState(int state, DWORD timeoutMs, std::size_t from = 0);

  private:
    template <typename Found>
    bool waitUntil(DWORD timeoutMs, Found found);

    mutable CRITICAL_SECTION lock_;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::vector<std::string> statuses_;
    std::vector<int> states_;
};

template <Recorder& recorder>
void recordStatus(const char* text) {
    recorder.addStatus(text);
}

template <Recorder& recorder>
void recordState(int state) {
    recorder.addState(state);
}

}  // namespace wine_check

// The tool's two application handlers: every status text and every state change the library
// reports goes to the console; state changes also wake whoever waits for a state.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kest_tool {

// Registers both handlers with the library; false when it has no device manager.
bool connectLibraryHandlers();
// Removes them, so that nothing is printed while the library is torn down at exit.
void disconnectLibraryHandlers();

// True at once when KEST_GetState() is `state`, or as soon as the state-change handler reports
// it (a state passed through briefly counts); false when `timeout` passes first.
bool waitForState(int state, std::chrono::milliseconds timeout);

// The status texts are also kept, the latest few hundred of them, so that a command can look at
// what the library said while it ran: take a mark before, ask for the texts since after.
std::uint64_t statusMark();
std::vector<std::string> statusesSince(std::uint64_t mark);
// True as soon as `text` is among the texts reported since the mark (at once if it already
// is); false when `timeout` passes first.
bool waitForStatus(const std::string& text, std::uint64_t mark, std::chrono::milliseconds timeout);

}  // namespace kest_tool

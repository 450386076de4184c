// The tool's two application handlers: every status text and every state change the library
// reports goes to the console; state changes also wake whoever waits for a state.
#pragma once

#include <chrono>

namespace kest_tool {

// Registers both handlers with the library; false when it has no device manager.
bool connectLibraryHandlers();
// Removes them, so that nothing is printed while the library is torn down at exit.
void disconnectLibraryHandlers();

// True at once when KEST_GetState() is `state`, or as soon as the state-change handler reports
// it (a state passed through briefly counts); false when `timeout` passes first.
bool waitForState(int state, std::chrono::milliseconds timeout);

}  // namespace kest_tool

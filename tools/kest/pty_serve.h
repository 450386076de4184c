// kest peripheral serve --pty: the simulated peripheral for other processes, on pseudo-terminals.
//
// Its power line is a pty whose slave is named by the link FOLDER/power: while another process
// holds that slave open, the peripheral is powered, as while a handle on its "COM1:" is open.
// Its data line is a second pty, named by FOLDER/data only while the peripheral's data port is
// present (it comes a while after power-on and goes a while after power-off). Bytes on the data
// line are the bytes of the data port, both ways.
#pragma once

#include <filesystem>
#include <iosfwd>

namespace sim {
class Peripheral;
}

namespace kest_tool {

// Serves `peripheral` (already started, on "COM1:" of this process) in `folder`, which is made if
// needed, until SIGINT, SIGTERM or SIGHUP. Prints "power: PATH" and "data: PATH" to `out` once
// the power line is ready. Returns the exit code: 0, or 1 when the ptys could not be made.
int servePeripheralOnPtys(sim::Peripheral& peripheral, const std::filesystem::path& folder,
                          std::ostream& out);

}  // namespace kest_tool

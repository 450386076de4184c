// Host control API: the kernel's handle table.
#pragma once

#include <cstddef>

namespace host {

// Number of handles currently open in the process (kernel objects, files, devices and registry
// keys), so that tests can show that a sequence of operations leaks none.
std::size_t liveHandleCount();

}  // namespace host

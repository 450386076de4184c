// Host control API: the kernel's handle table.
#pragma once

#include <cstddef>

namespace host {

// Number of handles currently open in the process (kernel objects, files, devices and registry
// keys), so that tests can show that a sequence of operations leaks none.
std::size_t liveHandleCount();

// Number of threads blocked in a wait on the object behind the handle (0 for a handle that names
// no waitable object), so that a test can tell that a thread has gone to sleep on it.
std::size_t waiterCount(void* handle);

}  // namespace host

// How many threads the process has, to tell whether the library left one behind.
#pragma once

#include <cstddef>

namespace kest_test {

// The threads of the process, as the kernel lists them. ThreadSanitizer's runtime starts a thread
// of its own at the process's first thread creation, which would count as one the library left
// behind; the first call creates and joins a thread, so that such a thread is already there.
std::size_t threadCount();

}  // namespace kest_test

#include "failing_array_allocation.h"

#include <atomic>
#include <new>

namespace kest_test {
namespace {

std::atomic<bool> failNext{false};

}  // namespace

void failNextArrayAllocation() {
    failNext = true;
}

}  // namespace kest_test

#if KEST_ARRAY_FAILURE_AVAILABLE

// Allocates through the ordinary array operator, so that the ordinary operator delete[] (or an
// address sanitizer's) matches it.
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (kest_test::failNext.exchange(false)) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

#endif

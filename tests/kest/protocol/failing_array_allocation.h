// Lets a test make the next nothrow array allocation of this program fail, the way a handheld
// short of memory would refuse a large buffer.
//
// The thread sanitizer's runtime brings its own allocation operators, which cannot be replaced:
// there the switch is not available.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define KEST_ARRAY_FAILURE_AVAILABLE 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KEST_ARRAY_FAILURE_AVAILABLE 0
#endif
#endif
#ifndef KEST_ARRAY_FAILURE_AVAILABLE
#define KEST_ARRAY_FAILURE_AVAILABLE 1
#endif

namespace kest_test {

constexpr bool kArrayFailureAvailable = KEST_ARRAY_FAILURE_AVAILABLE;

void failNextArrayAllocation();

}  // namespace kest_test

// Watches the allocations of frames in this test program: the global nothrow operator new, which
// the frame decoder allocates with, is replaced here so that a test can see how many frames are
// alive and make the next frame allocation fail.
//
// The thread sanitizer's runtime brings its own operators, which cannot be replaced: there the
// probe is not available, and the tests that need it skip what they cannot see.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define KEST_PROBE_AVAILABLE 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KEST_PROBE_AVAILABLE 0
#endif
#endif
#ifndef KEST_PROBE_AVAILABLE
#define KEST_PROBE_AVAILABLE 1
#endif

namespace probe {

constexpr bool kAvailable = KEST_PROBE_AVAILABLE;

// Frames allocated and not yet freed.
int liveFrames();

// The next allocation of a frame fails.
void failNextFrameAllocation();

}  // namespace probe

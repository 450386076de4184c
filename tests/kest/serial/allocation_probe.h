// Watches the allocations of frames in this test program: the global nothrow operator new, which
// the frame decoder allocates with, is replaced here so that a test can see how many frames are
// alive and make the next frame allocation fail.
#pragma once

namespace probe {

// Frames allocated and not yet freed.
int liveFrames();

// The next allocation of a frame fails.
void failNextFrameAllocation();

}  // namespace probe

#include "allocation_probe.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "serial/frame.h"

#if KEST_PROBE_AVAILABLE

namespace {

// Frame allocations are told apart from the others by their size.
std::array<std::atomic<void*>, 64> frameSlots;
std::atomic<bool> failNext{false};

void track(void* p) {
    for (auto& slot : frameSlots) {
        void* empty = nullptr;
        if (slot.compare_exchange_strong(empty, p)) return;
    }
    std::abort();  // more live frames than any test makes
}

void untrack(void* p) {
    if (p == nullptr) return;
    for (auto& slot : frameSlots) {
        void* expected = p;
        if (slot.compare_exchange_strong(expected, nullptr)) return;
    }
}

void* allocate(std::size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}

void release(void* p) noexcept {
    untrack(p);
    std::free(p);
}

}  // namespace

namespace probe {

int liveFrames() {
    int live = 0;
    for (auto& slot : frameSlots) live += slot.load() != nullptr ? 1 : 0;
    return live;
}

void failNextFrameAllocation() {
    failNext = true;
}

}  // namespace probe

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (size == sizeof(kest::Frame) && failNext.exchange(false)) return nullptr;
    void* p = allocate(size);
    if (p != nullptr && size == sizeof(kest::Frame)) track(p);
    return p;
}

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}

#else

namespace probe {

int liveFrames() {
    return 0;
}
void failNextFrameAllocation() {}

}  // namespace probe

#endif

// A bounded wait for a condition that another thread makes true.
#pragma once

#include <chrono>
#include <functional>

namespace kest_test {

inline constexpr std::chrono::milliseconds kPatience{10000};

// True as soon as condition() holds; false if it still does not after `limit`.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = kPatience);

}  // namespace kest_test

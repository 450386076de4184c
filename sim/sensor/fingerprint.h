// A synthetic fingerprint: grey-scale ridges around a core inside the oval of a fingertip, on a
// light background. The same size and seed always give the same image.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

// width x height bytes, row by row; 0 is black (a ridge), 255 white.
std::vector<std::uint8_t> fingerprintImage(unsigned width, unsigned height, std::uint32_t seed);

}  // namespace sim

// Grey-scale PNG files, for the captured fingerprints.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace drx_tool {

// Writes width x height 8-bit grey pixels (row by row) to path. False, with the reason in
// error, if the pixels do not fill the image or the file cannot be written.
bool writeGreyPng(const std::string& path, unsigned width, unsigned height,
                  std::span<const std::uint8_t> pixels, std::string& error);

}  // namespace drx_tool

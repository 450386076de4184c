#include "png_image.h"

#include <png.h>

#include <cstdio>
#include <memory>

namespace drx_tool {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// libpng reports errors through a longjmp back into the setjmp below; the message is kept here
// so that it survives the jump.
void onError(png_structp png, png_const_charp message) {
    *static_cast<std::string*>(png_get_error_ptr(png)) = message;
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

}  // namespace

bool writeGreyPng(const std::string& path, unsigned width, unsigned height,
                  std::span<const std::uint8_t> pixels, std::string& error) {
    if (width == 0 || height == 0 || pixels.size() != std::size_t{width} * height) {
        error = "the pixels do not fill a " + std::to_string(width) + "x" + std::to_string(height) +
                " image";
        return false;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = path + ": cannot be written";
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, onError, onWarning);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        error = "out of memory";
        return false;
    }
    // Nothing with a destructor may be created between here and the end of the writes: a
    // longjmp from libpng would skip it.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (unsigned row = 0; row < height; ++row)
        png_write_row(png, pixels.data() + std::size_t{row} * width);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace drx_tool

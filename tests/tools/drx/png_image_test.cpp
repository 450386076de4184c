// The PNG writer, read back with libpng: the pixels survive, and bad input is refused.
#include "png_image.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sensor/fingerprint.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

struct Decoded {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int colorType = -1;
    int bitDepth = 0;
    std::vector<std::uint8_t> pixels;
};

Decoded Decode(const std::string& path) {
    Decoded decoded;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return decoded;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_read_info(png, info);
        png_get_IHDR(png, info, &decoded.width, &decoded.height, &decoded.bitDepth,
                     &decoded.colorType, nullptr, nullptr, nullptr);
        decoded.pixels.resize(std::size_t{decoded.width} * decoded.height);
        for (png_uint_32 row = 0; row < decoded.height; ++row)
            png_read_row(png, decoded.pixels.data() + std::size_t{row} * decoded.width, nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return decoded;
}

std::string TempPath(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string(name) + "-" + std::to_string(::getpid()) + ".png"))
        .string();
}

TEST(PngImage, AFingerprintSurvivesTheRoundTrip) {
    const auto pixels = sim::fingerprintImage(40, 30, 7);
    const std::string path = TempPath("drx-png");
    std::string error;
    ASSERT_TRUE(drx_tool::writeGreyPng(path, 40, 30, pixels, error)) << error;
    const Decoded decoded = Decode(path);
    std::filesystem::remove(path);
    EXPECT_EQ(decoded.width, 40u);
    EXPECT_EQ(decoded.height, 30u);
    EXPECT_EQ(decoded.colorType, PNG_COLOR_TYPE_GRAY);
    EXPECT_EQ(decoded.bitDepth, 8);
    EXPECT_EQ(decoded.pixels, pixels);
}

TEST(PngImage, PixelsThatDoNotFillTheImageAreRefused) {
    const std::string path = TempPath("drx-png-short");
    const std::vector<std::uint8_t> pixels(40 * 30 - 1);
    std::string error;
    EXPECT_FALSE(drx_tool::writeGreyPng(path, 40, 30, pixels, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(drx_tool::writeGreyPng(path, 0, 0, {}, error));
}

TEST(PngImage, AnUnwritablePathIsReported) {
    const std::vector<std::uint8_t> pixels(4);
    std::string error;
    EXPECT_FALSE(drx_tool::writeGreyPng("/nonexistent-dir/x.png", 2, 2, pixels, error));
    EXPECT_NE(error.find("cannot be written"), std::string::npos);
}

}  // namespace

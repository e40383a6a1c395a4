// Reading back the 8-bit paletted PNGs the tools and the golden tests write
// (tools/common/png_file.h), to compare pixels and palettes: the pixel
// values are the palette indices themselves. Test code only; the product
// writes PNGs and never reads them. A test including this links libpng.
#pragma once

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct PalettedImage {
    struct Colour {
        uint8_t r = 0, g = 0, b = 0;
    };
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;    // width * height indices
    std::vector<Colour> palette;    // as stored in the file
};

namespace png_read_detail {

// libpng reports errors by longjmp; the message is kept for the caller.
inline void on_error(png_structp png, png_const_charp message)
{
    *static_cast<std::string*>(png_get_error_ptr(png)) = message;
    png_longjmp(png, 1);
}

inline void on_warning(png_structp, png_const_charp) {}

// The image's rows and palette, once libpng has read the whole file.
inline void copy_image(png_structp png, png_infop info, PalettedImage& image)
{
    image.width = int32_t(png_get_image_width(png, info));
    image.height = int32_t(png_get_image_height(png, info));
    png_bytepp rows = png_get_rows(png, info);
    image.pixels.resize(size_t(image.width) * size_t(image.height));
    for (int32_t y = 0; y < image.height; ++y)
        std::copy(rows[y], rows[y] + image.width, image.pixels.begin() + ptrdiff_t(y) * image.width);
    png_colorp colours = nullptr;
    int count = 0;
    png_get_PLTE(png, info, &colours, &count);
    image.palette.clear();
    for (int i = 0; i < count; ++i)
        image.palette.push_back({colours[i].red, colours[i].green, colours[i].blue});
}

}   // namespace png_read_detail

// Reads an 8-bit paletted PNG; false (with error naming path) for anything else.
inline bool png_read_paletted(const std::string& path, PalettedImage& image, std::string& error)
{
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string message;
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &message, png_read_detail::on_error, png_read_detail::on_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        std::fclose(in);
        error = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(in);
        error = path + ": " + message;
        return false;
    }
    png_init_io(png, in);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    const bool paletted = png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE && png_get_bit_depth(png, info) == 8;
    if (paletted)
        png_read_detail::copy_image(png, info, image);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(in);
    if (!paletted)
        error = path + ": not an 8-bit paletted PNG";
    return paletted;
}

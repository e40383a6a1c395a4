#include "tools/common/png_file.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <vector>

namespace {

// libpng reports errors by longjmp; the message is kept for the caller, who
// prints it within one line. Left to itself libpng would print its own
// "libpng error: ..." line first, and warnings too.
void on_png_error(png_structp png, png_const_charp message)
{
    *static_cast<std::string*>(png_get_error_ptr(png)) = message;
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// libpng's own writer says only "Write Error"; this one says why (a full
// disk, a file size limit).
void on_png_write(png_structp png, png_bytep data, size_t length)
{
    if (std::fwrite(data, 1, length, static_cast<std::FILE*>(png_get_io_ptr(png))) != length)
        png_error(png, std::strerror(errno));
}

void on_png_flush(png_structp png)
{
    if (std::fflush(static_cast<std::FILE*>(png_get_io_ptr(png))) != 0)
        png_error(png, std::strerror(errno));
}

// What differs between the two kinds of picture.
struct PngLayout {
    int colourType = PNG_COLOR_TYPE_RGB;
    int32_t bytesPerPixel = 3;
    const png_color* palette = nullptr;   // 256 entries, for PNG_COLOR_TYPE_PALETTE
};

bool write_png(std::FILE* out, const uint8_t* pixels, int32_t width, int32_t height, const PngLayout& layout,
               std::string& error)
{
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (int32_t y = 0; y < height; ++y)
        rows[size_t(y)] = const_cast<png_bytep>(pixels + size_t(y) * size_t(width) * size_t(layout.bytesPerPixel));

    std::string message;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &message, on_png_error, on_png_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        error = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        error = message;
        return false;
    }
    png_set_write_fn(png, out, on_png_write, on_png_flush);
    // Flat palette regions compress best unfiltered; RGB pictures (look's
    // spectrogram) keep libpng's choice of filter per row. Level 6 is zlib's
    // default balance of size and speed.
    if (layout.palette)
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, layout.colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    if (layout.palette)
        png_set_PLTE(png, info, layout.palette, 256);
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}   // namespace

bool png_write_paletted(std::FILE* out, const uint8_t* pixels, int32_t width, int32_t height,
                        const PaletteEntry* palette, std::string& error)
{
    std::vector<png_color> colours(256);
    for (int i = 0; i < 256; ++i)
        colours[size_t(i)] = {palette[i].r, palette[i].g, palette[i].b};
    PngLayout layout;
    layout.colourType = PNG_COLOR_TYPE_PALETTE;
    layout.bytesPerPixel = 1;
    layout.palette = colours.data();
    return write_png(out, pixels, width, height, layout, error);
}

bool png_write_rgb(std::FILE* out, const uint8_t* rgb, int32_t width, int32_t height, std::string& error)
{
    return write_png(out, rgb, width, height, PngLayout{}, error);
}

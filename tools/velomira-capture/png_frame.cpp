#include "tools/velomira-capture/png_frame.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>

namespace {

// libpng reports errors by longjmp; the message is kept for the caller, who
// prints it as part of one line. Left to itself libpng would print its own
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

} // namespace

bool png_write_paletted(std::FILE* out, const uint8_t* pixels, int32_t width, int32_t height,
                        const PaletteEntry* palette, std::string& error)
{
    std::vector<png_color> colours(256);
    for (int i = 0; i < 256; ++i)
        colours[i] = {palette[i].r, palette[i].g, palette[i].b};
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (int32_t y = 0; y < height; ++y)
        rows[size_t(y)] = const_cast<png_bytep>(pixels + size_t(y) * size_t(width));

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
    // Flat palette regions compress best unfiltered; level 6 is zlib's default
    // balance of size and speed.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_set_PLTE(png, info, colours.data(), 256);
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool png_read_paletted(const std::string& path, PalettedImage& image, std::string& error)
{
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string message;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &message, on_png_error, on_png_warning);
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
    bool paletted = png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE && png_get_bit_depth(png, info) == 8;
    if (paletted) {
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
            image.palette.push_back({colours[i].red, colours[i].green, colours[i].blue, 0});
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(in);
    if (!paletted)
        error = path + ": not an 8-bit paletted PNG";
    return paletted;
}

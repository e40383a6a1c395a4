#include "tests/render3d/png_io.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace

std::string png_write_indexed(const std::string& path, const IndexedImage& image) {
    const std::string partial = path + ".partial";
    File file(std::fopen(partial.c_str(), "wb"));
    if (!file) {
        return "cannot create " + partial;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        file.reset();
        std::remove(partial.c_str());
        return "libpng failed writing " + path;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, png_uint_32(image.width), png_uint_32(image.height), 8, PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color palette[256];
    for (int i = 0; i < 256; i++) {
        palette[i].red = png_byte(i);
        palette[i].green = png_byte(i);
        palette[i].blue = png_byte(std::min(255, 100 * i / 85));
    }
    png_set_PLTE(png, info, palette, 256);
    png_set_compression_level(png, 9);
    png_write_info(png, info);
    for (int y = 0; y < image.height; y++) {
        png_write_row(png, image.pixels.data() + size_t(y) * size_t(image.width));
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    file.reset();
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        return "cannot rename " + partial + " to " + path;
    }
    return "";
}

std::string png_read_indexed(const std::string& path, IndexedImage& image) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return "cannot open " + path;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return "libpng failed reading " + path;
    }
    png_init_io(png, file.get());
    png_read_info(png, info);
    if (png_get_color_type(png, info) != PNG_COLOR_TYPE_PALETTE || png_get_bit_depth(png, info) != 8) {
        png_destroy_read_struct(&png, &info, nullptr);
        return path + " is not an 8-bit paletted PNG";
    }
    image.width = int(png_get_image_width(png, info));
    image.height = int(png_get_image_height(png, info));
    image.pixels.assign(size_t(image.width) * size_t(image.height), 0);
    for (int y = 0; y < image.height; y++) {
        png_read_row(png, image.pixels.data() + size_t(y) * size_t(image.width), nullptr);
    }
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return "";
}

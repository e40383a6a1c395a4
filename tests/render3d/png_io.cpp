#include "tests/render3d/png_io.h"

#include "tests/support/png_read.h"
#include "tools/common/output_file.h"
#include "tools/common/png_file.h"

#include <algorithm>

namespace {

// The demo's palette, computed here: these tests draw without the demo.
std::vector<PaletteEntry> demo_palette()
{
    std::vector<PaletteEntry> palette(256);
    for (int i = 0; i < 256; i++)
        palette[size_t(i)] = {uint8_t(i), uint8_t(i), uint8_t(std::min(255, 100 * i / 85)), 0};
    return palette;
}

}  // namespace

std::string png_write_indexed(const std::string& path, const IndexedImage& image) {
    OutputFile file;
    std::string error;
    const std::vector<PaletteEntry> palette = demo_palette();
    if (!file.open(path, error)) {
        return error;
    }
    if (!png_write_paletted(file.file, image.pixels.data(), image.width, image.height, palette.data(), error)) {
        return "cannot write " + path + ": " + error;
    }
    return file.commit(error) ? "" : error;
}

std::string png_read_indexed(const std::string& path, IndexedImage& image) {
    PalettedImage read;
    std::string error;
    if (!png_read_paletted(path, read, error)) {
        return error;
    }
    image.width = read.width;
    image.height = read.height;
    image.pixels = std::move(read.pixels);
    return "";
}

// Small 8-bit paletted PNG files for golden images, in the demo's palette:
// index i shows as red = green = i, blue = min(255, 100 * i / 85). Written
// by the tools' PNG writer (tools/common/png_file.h) and read back by the
// tests' reader (tests/support/png_read.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct IndexedImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;   // row-major palette indices
};

// Both return an empty string on success, else what went wrong.
std::string png_write_indexed(const std::string& path, const IndexedImage& image);
std::string png_read_indexed(const std::string& path, IndexedImage& image);

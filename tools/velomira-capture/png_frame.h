// 8-bit paletted PNG frames: the pixel values are the palette indices
// themselves, so a frame read back is exactly the frame drawn.
#pragma once

#include "driver/demo.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct PalettedImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;              // width * height indices
    std::vector<PaletteEntry> palette;        // as stored in the file
};

// Writes width x height indices with the 256-entry palette to an open file.
// false (with error set) when libpng or the stream fails.
bool png_write_paletted(std::FILE* out, const uint8_t* pixels, int32_t width, int32_t height,
                        const PaletteEntry* palette, std::string& error);
// Reads an 8-bit paletted PNG; false (with error set) for anything else.
bool png_read_paletted(const std::string& path, PalettedImage& image, std::string& error);

// PNG pictures written through libpng onto an open stream (an OutputFile's
// file, a pipe, a device), the one PNG writer of the tools and the tests:
//   - 8-bit paletted with a 256-entry palette: the pixel values are the
//     palette indices themselves, so a frame read back is exactly the frame
//     drawn (capture's --png stills and storyboard, the golden images);
//   - 8-bit RGB, three bytes a pixel (look's picture).
// Both return false with error set when libpng or the stream fails. libpng
// says nothing itself, neither errors nor warnings: the tool prints the one
// line, with the reason (a full disk, a file size limit) in error.
#pragma once

#include "driver/demo.h"   // PaletteEntry

#include <cstdint>
#include <cstdio>
#include <string>

// width x height indices, rows top to bottom, with palette[0..255].
bool png_write_paletted(std::FILE* out, const uint8_t* pixels, int32_t width, int32_t height,
                        const PaletteEntry* palette, std::string& error);

// width x height pixels of red, green, blue bytes, rows top to bottom.
bool png_write_rgb(std::FILE* out, const uint8_t* rgb, int32_t width, int32_t height, std::string& error);

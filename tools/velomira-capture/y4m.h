// YUV4MPEG2 output: 4:2:0 planes converted from palette indices with
// full-range BT.601 (JPEG) coefficients, chroma averaged over 2x2 blocks.
// The video writer feeds its encoder the same planes.
//
// y4m_build_tables once for the palette; y4m_prepare_stream on the output,
// then y4m_header once and y4m_frame per frame. y4m_convert_planes is the
// conversion alone, for any even picture size and plane strides (the video
// writer's frames). It reads each pair of rows once for both planes; where
// the processor has AVX-512 with VBMI and VBMI2 the tables are looked up 64
// pixels at a time, giving the same bytes.
#pragma once

#include "driver/demo.h"
#include "render3d/r3d.h"   // the frame size

#include <cstdint>
#include <cstdio>
#include <string>


struct Y4mTables {
    uint8_t luma[256] = {};
    float cb[256] = {};   // unrounded, so a 2x2 average rounds only once
    float cr[256] = {};
    // A 2x2 block of one colour (most of this picture) looks its chroma up
    // here: the same float sums, done once per palette entry.
    uint8_t cbFlat[256] = {};
    uint8_t crFlat[256] = {};
    // The bytes of cb and cr in memory order, byte k of entry i at [k][i]:
    // byte tables are what the vector lookups read.
    uint8_t cbBytes[4][256] = {};
    uint8_t crBytes[4][256] = {};
};

void y4m_build_tables(Y4mTables& tables, const PaletteEntry* palette);
std::string y4m_header(int32_t fps, int32_t width = FrameWidth, int32_t height = FrameHeight);
// Converts a width x height picture of palette indices (width and height
// even) into Y, Cb and Cr planes with the given row strides.
void y4m_convert_planes(const Y4mTables& tables, const uint8_t* pixels, int32_t width, int32_t height, uint8_t* y,
                        int32_t yStride, uint8_t* cb, uint8_t* cr, int32_t chromaStride);
// Converts one 640x480 frame into the contiguous planes of one 4:2:0 picture
// (FramePixels * 3 / 2 bytes at out). The tool itself writes through
// y4m_frame; the benchmarks time the conversion and the tests check frames
// against stills with this whole-frame form.
void y4m_convert(const Y4mTables& tables, const uint8_t* pixels, uint8_t* out);
// A pipe made big enough for whole frames, so that the writer does not wait
// for its reader several times a frame; other outputs are left as they are.
void y4m_prepare_stream(std::FILE* out);
// The bytes of one written frame: "FRAME\n", then the planes.
inline constexpr size_t Y4mFrameMarker = 6;
inline size_t y4m_frame_bytes(int32_t width, int32_t height)
{
    return Y4mFrameMarker + size_t(width) * size_t(height) * 3 / 2;
}
// Converts a width x height picture behind "FRAME\n" in buffer
// (y4m_frame_bytes of scratch) and writes it to the stream's descriptor in
// one piece, after what the stream itself still holds; false when that fails.
bool y4m_frame(std::FILE* out, const Y4mTables& tables, const uint8_t* pixels, int32_t width, int32_t height,
               uint8_t* buffer);

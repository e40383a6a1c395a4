// YUV4MPEG2 output: 4:2:0 planes converted from palette indices with
// full-range BT.601 (JPEG) coefficients, chroma averaged over 2x2 blocks.
//
// y4m_build_tables once for the palette, then y4m_header once and
// y4m_frame per frame.
#pragma once

#include "driver/demo.h"

#include <cstdint>
#include <cstdio>
#include <string>

inline constexpr int32_t FrameWidth = 640;
inline constexpr int32_t FrameHeight = 480;
inline constexpr int32_t FramePixels = FrameWidth * FrameHeight;

struct Y4mTables {
    uint8_t luma[256] = {};
    float cb[256] = {};   // unrounded, so a 2x2 average rounds only once
    float cr[256] = {};
};

void y4m_build_tables(Y4mTables& tables, const PaletteEntry* palette);
std::string y4m_header(int32_t fps);
// Converts one frame of palette indices into the Y, Cb and Cr planes of one
// 4:2:0 picture (FramePixels * 3 / 2 bytes at out).
void y4m_convert(const Y4mTables& tables, const uint8_t* pixels, uint8_t* out);
// Writes "FRAME\n" and the planes; false when the stream fails.
bool y4m_frame(std::FILE* out, const Y4mTables& tables, const uint8_t* pixels);

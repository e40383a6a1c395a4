// The rasterizers behind r3d_end and the deferred frame, internal to
// render3d/: line.cpp draws a line, polygon.cpp fills a polygon through the
// per-row edge tables, spans.cpp draws the rows' spans. Each draws only the
// rows firstRow ... lastRow it is given, into `target` (nothing when it is
// null) and R3d.DepthBuffer, and gives the same pixels and depths as the
// literal walk in tests/render3d/reference.cpp.
//
// On x86-64 the polygon filler also has AVX-512 paths, chosen at run time
// (r3d_has_avx512): the same IEEE operations and comparisons on wider
// vectors, with masked loads and stores in place of branches. The browser
// build has WebAssembly SIMD paths of four lanes.
#pragma once

#include "render3d/r3d.h"

#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#define R3D_AVX512 1
#define R3D_AVX512_TARGET __attribute__((target("avx512f,avx512vl,avx512bw,bmi2")))
#include <immintrin.h>
// Whether the processor has AVX-512 (F, VL, BW) and BMI2.
bool r3d_has_avx512();
#endif

// The browser build: WebAssembly's 128-bit SIMD, four rows or edges at once.
#if defined(__wasm_simd128__)
#define R3D_WASM_SIMD 1
#include <wasm_simd128.h>
#endif

// Integer steps wrap like the two's-complement registers they model; done in
// unsigned arithmetic so that the wrap is defined. Advancing by `count` steps
// at once equals adding the step `count` times.
inline int32_t r3d_advance(int32_t value, int32_t step, int64_t count) {
    return int32_t(uint32_t(value) + uint32_t(step) * uint32_t(uint64_t(count)));
}

// The line from a to b (screen x, screen y, camera z), `width` pixels thick.
void r3d_line_rows(uint8_t* target, uint8_t colour, uint32_t width, const float* a, const float* b,
                   int32_t firstRow, int32_t lastRow);
// The polygon of n vertices (screen x, screen y, camera z), all in front.
void r3d_polygon_rows(uint8_t* target, const float (*screen)[3], int32_t n, uint8_t colour, int32_t firstRow,
                      int32_t lastRow);
// The spans of rows top ... bottom from the edge tables (R3d.RowLeftX and
// the others), in order.
void r3d_fill_spans(uint8_t* target, int32_t top, int32_t bottom, uint8_t colour);
#if defined(R3D_AVX512)
// The spans of rows row ... row + rows - 1 (rows <= 16) from their edge
// crossings and depths in the lanes of four vectors, as r3d_fill_spans
// draws them from the tables.
R3D_AVX512_TARGET void r3d_span_block_avx512(uint8_t* target, int32_t row, int32_t rows, __m512 left, __m512 right,
                                             __m512 leftZ, __m512 rightZ, uint8_t colour);
#endif
#if defined(R3D_WASM_SIMD)
// The spans of rows row ... row + rows - 1 (rows <= 4) from their edge
// crossings and depths in the lanes of four vectors, as r3d_fill_spans
// draws them from the tables.
void r3d_span_block_wasm(uint8_t* target, int32_t row, int32_t rows, v128_t left, v128_t right, v128_t leftZ,
                         v128_t rightZ, uint8_t colour);
#endif

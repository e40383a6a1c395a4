// The spans of a polygon's rows, from the edge tables: each row's pixels
// from the left crossing (rounded to the nearest pixel centre) up to but
// not including the right one, depth linear in screen x from the left
// crossing, 16-bit wrapping, written where it is >= the stored depth.
#include "render3d/raster.h"

#include "render3d/convert.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(R3D_AVX512)
#include <immintrin.h>
#endif

namespace {

// One row's span as span_of_row sets it up: its pixels start <= x < end, the
// depth at start and its step per pixel (both used modulo 2^16).
struct Span {
    int32_t start;
    int32_t end;
    int32_t depth;
    int32_t step;
};

// A span's pixels: the right end excluded, depth linear in screen x from the
// left crossing, 16-bit wrapping, written where it is >= the stored depth.
// Inlined into its two callers: a call per span costs more than the
// vector work of a short one.
[[gnu::always_inline]] inline void draw_span(uint8_t* target, int32_t row, uint8_t colour, Span span) {
    int32_t start = span.start;
    const int32_t end = span.end;
    if (start >= end) {
        return;   // also every row no edge reached (left 100000, right -100000)
    }
    int32_t depth = int16_t(span.depth);
    const int32_t step = int16_t(span.step);
    if (start < 0) {
        // Pixels left of the screen only advance the depth.
        depth = r3d_advance(depth, step, int64_t(0) - start);
        start = 0;
    }
    uint8_t* pixels = target + row * FrameWidth;
    int16_t* depths = R3d.DepthBuffer + row * FrameWidth;
    uint16_t d = uint16_t(depth);
    const uint16_t delta = uint16_t(step);
    int32_t x = start;
#if defined(__SSE2__)
    // Eight pixels at a time while eight fit in the row. Lanes past the end
    // of the span store back what they loaded, so a short span costs one
    // pass; the depth of lane k is d + k steps, wrapped like the scalar sum,
    // and each pass adds eight steps to every lane.
    const __m128i lanes = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    const __m128i colours = _mm_set1_epi8(int8_t(colour));
    const __m128i eightSteps = _mm_set1_epi16(int16_t(uint16_t(delta * 8u)));
    const __m128i eight = _mm_set1_epi16(8);
    __m128i fresh = _mm_add_epi16(_mm_set1_epi16(int16_t(d)), _mm_mullo_epi16(_mm_set1_epi16(int16_t(delta)), lanes));
    __m128i remaining = _mm_set1_epi16(int16_t(end - x));   // at most 640
    for (; x < end && x <= FrameWidth - 8; x += 8) {
        const __m128i inSpan = _mm_cmplt_epi16(lanes, remaining);
        const __m128i stored = _mm_loadu_si128(reinterpret_cast<const __m128i*>(depths + x));
        const __m128i pass = _mm_andnot_si128(_mm_cmpgt_epi16(stored, fresh), inSpan);
        const __m128i newDepths = _mm_or_si128(_mm_and_si128(pass, fresh), _mm_andnot_si128(pass, stored));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(depths + x), newDepths);
        const __m128i pass8 = _mm_packs_epi16(pass, pass);
        const __m128i old = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pixels + x));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pixels + x),
                         _mm_or_si128(_mm_and_si128(pass8, colours), _mm_andnot_si128(pass8, old)));
        fresh = _mm_add_epi16(fresh, eightSteps);
        remaining = _mm_sub_epi16(remaining, eight);
    }
    d = uint16_t(_mm_extract_epi16(fresh, 0));
#endif
    // The last few pixels of a row (and everything without SSE2).
    for (; x < end; x++) {
        if (int16_t(d) >= depths[x]) {
            pixels[x] = colour;
            depths[x] = int16_t(d);
        }
        d = uint16_t(d + delta);
    }
}

// One row's span from its edge crossings: the ends rounded to the nearest
// pixel centre, the depth step the slope between the two crossings.
Span span_of_row(int32_t row) {
    const float left = R3d.RowLeftX[row];
    const float right = R3d.RowRightX[row];
    Span span;
    span.start = r3d_trunc(left + 0.5f);
    span.end = std::min(r3d_trunc(right + 0.5f), FrameWidth);
    span.depth = r3d_trunc(R3d.RowLeftZ[row] * 2048.0f);
    float dzdx = 0.0f;
    if (right != left) {
        dzdx = (R3d.RowRightZ[row] - R3d.RowLeftZ[row]) / (right - left);
    }
    span.step = r3d_trunc(dzdx * 2048.0f);
    return span;
}

// Four rows' spans at once in SSE2, where it is the processor's own: the
// browser build compiles SSE2 to WebAssembly SIMD for draw_span, but its
// float-to-integer conversion is emulated lane by lane and is not the
// instruction's for NaN and values out of range.
#if defined(__SSE2__) && !defined(__EMSCRIPTEN__)
#define R3D_SSE2_ROWS 1
#endif

#if defined(R3D_SSE2_ROWS)
// r3d_trunc on four lanes: the conversion gives INT32_MIN for everything out
// of range and NaN, as r3d_trunc does except from 2^31 up, where flipping
// every bit turns it into INT32_MAX.
__m128i trunc4(__m128 v) {
    const __m128 tooLarge = _mm_cmpge_ps(v, _mm_set1_ps(2147483648.0f));
    return _mm_xor_si128(_mm_cvttps_epi32(v), _mm_castps_si128(tooLarge));
}

// span_of_row for rows row ... row + 3 at once, the same operations lane by
// lane (one division for four rows). Rows no edge reached compute from stale
// z values; their spans are empty whatever those give.
void spans_of_four_rows(int32_t row, Span* spans) {
    const __m128 left = _mm_loadu_ps(R3d.RowLeftX + row);
    const __m128 right = _mm_loadu_ps(R3d.RowRightX + row);
    const __m128 leftZ = _mm_loadu_ps(R3d.RowLeftZ + row);
    const __m128 rightZ = _mm_loadu_ps(R3d.RowRightZ + row);
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128i start = trunc4(_mm_add_ps(left, half));
    const __m128i rightEnd = trunc4(_mm_add_ps(right, half));
    const __m128i width = _mm_set1_epi32(FrameWidth);
    const __m128i beyond = _mm_cmpgt_epi32(rightEnd, width);
    const __m128i end = _mm_or_si128(_mm_andnot_si128(beyond, rightEnd), _mm_and_si128(beyond, width));
    const __m128i depth = trunc4(_mm_mul_ps(leftZ, _mm_set1_ps(2048.0f)));
    // != is true for NaN too, as _mm_cmpneq_ps is; the mask leaves +0 elsewhere.
    const __m128 slope = _mm_div_ps(_mm_sub_ps(rightZ, leftZ), _mm_sub_ps(right, left));
    const __m128 dzdx = _mm_and_ps(slope, _mm_cmpneq_ps(right, left));
    const __m128i step = trunc4(_mm_mul_ps(dzdx, _mm_set1_ps(2048.0f)));
    alignas(16) int32_t lanes[4][4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[0]), start);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[1]), end);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[2]), depth);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[3]), step);
    for (int k = 0; k < 4; k++) {
        spans[k] = Span{lanes[0][k], lanes[1][k], lanes[2][k], lanes[3][k]};
    }
}
#endif

#if defined(R3D_WASM_SIMD)
// r3d_trunc on four lanes: WebAssembly's saturating conversion is the rule
// except for NaN, which it takes to 0.
v128_t trunc4_wasm(v128_t v) {
    return wasm_v128_bitselect(wasm_i32x4_splat(INT32_MIN), wasm_i32x4_trunc_sat_f32x4(v), wasm_f32x4_ne(v, v));
}

// span_of_row for four rows at once, the same operations lane by lane.
void spans_of_four_rows_wasm(v128_t left, v128_t right, v128_t leftZ, v128_t rightZ, Span* spans) {
    const v128_t half = wasm_f32x4_splat(0.5f);
    const v128_t scale = wasm_f32x4_splat(2048.0f);
    const v128_t start = trunc4_wasm(wasm_f32x4_add(left, half));
    const v128_t end = wasm_i32x4_min(trunc4_wasm(wasm_f32x4_add(right, half)), wasm_i32x4_splat(FrameWidth));
    const v128_t depth = trunc4_wasm(wasm_f32x4_mul(leftZ, scale));
    // != is true for NaN too; the mask leaves +0 elsewhere.
    const v128_t slope = wasm_f32x4_div(wasm_f32x4_sub(rightZ, leftZ), wasm_f32x4_sub(right, left));
    const v128_t dzdx = wasm_v128_and(slope, wasm_f32x4_ne(right, left));
    const v128_t step = trunc4_wasm(wasm_f32x4_mul(dzdx, scale));
    alignas(16) int32_t lanes[4][4];
    wasm_v128_store(lanes[0], start);
    wasm_v128_store(lanes[1], end);
    wasm_v128_store(lanes[2], depth);
    wasm_v128_store(lanes[3], step);
    for (int k = 0; k < 4; k++) {
        spans[k] = Span{lanes[0][k], lanes[1][k], lanes[2][k], lanes[3][k]};
    }
}
#endif

#if defined(R3D_AVX512)
bool detect_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")
           && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("bmi2");
}

// Every lane: the zero-masking forms of the instructions that have them,
// whose plain forms start from an undefined vector GCC warns about.
constexpr __mmask16 AllLanes = 0xFFFF;

// trunc4 on sixteen lanes.
R3D_AVX512_TARGET __m512i trunc16(__m512 v) {
    const __mmask16 tooLarge = _mm512_cmp_ps_mask(v, _mm512_set1_ps(2147483648.0f), _CMP_GE_OQ);
    return _mm512_mask_mov_epi32(_mm512_maskz_cvttps_epi32(AllLanes, v), tooLarge, _mm512_set1_epi32(INT32_MAX));
}

// r3d_fill_spans on processors with AVX-512: the edge tables sixteen rows
// at a time, drawn by r3d_span_block_avx512.
R3D_AVX512_TARGET void fill_spans_avx512(uint8_t* target, int32_t top, int32_t bottom, uint8_t colour) {
    for (int32_t row = top; row <= bottom; row += 16) {
        const int32_t rows = std::min(16, bottom - row + 1);
        const __mmask16 inBox = __mmask16(_bzhi_u32(0xFFFFu, uint32_t(rows)));
        r3d_span_block_avx512(target, row, rows, _mm512_maskz_loadu_ps(inBox, R3d.RowLeftX + row),
                              _mm512_maskz_loadu_ps(inBox, R3d.RowRightX + row),
                              _mm512_maskz_loadu_ps(inBox, R3d.RowLeftZ + row),
                              _mm512_maskz_loadu_ps(inBox, R3d.RowRightZ + row), colour);
    }
}
#endif

}  // namespace

#if defined(R3D_AVX512)
bool r3d_has_avx512() {
    static const bool yes = detect_avx512();
    return yes;
}
#endif

#if defined(R3D_AVX512)
// span_of_row for sixteen rows at once, then each span in passes of 32
// pixels whose lanes outside the span are masked off, loads and stores
// alike, so a span never touches a pixel of its row outside it (nor one
// beyond the row).
R3D_AVX512_TARGET void r3d_span_block_avx512(uint8_t* target, int32_t row, int32_t rows, __m512 left, __m512 right,
                                             __m512 leftZ, __m512 rightZ, uint8_t colour) {
    const __m512i lanes = _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                                           13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m256i colours = _mm256_set1_epi8(char(colour));
    const __m512 half = _mm512_set1_ps(0.5f);
    const __m512 scale = _mm512_set1_ps(2048.0f);
    alignas(64) int32_t starts[16];
    alignas(64) int32_t ends[16];
    alignas(64) int32_t depths[16];
    alignas(64) int32_t steps[16];
    _mm512_store_si512(starts, trunc16(_mm512_add_ps(left, half)));
    _mm512_store_si512(ends, _mm512_maskz_min_epi32(AllLanes, trunc16(_mm512_add_ps(right, half)), _mm512_set1_epi32(FrameWidth)));
    _mm512_store_si512(depths, trunc16(_mm512_mul_ps(leftZ, scale)));
    // != is true for NaN too: an unordered compare.
    const __mmask16 sloped = _mm512_cmp_ps_mask(right, left, _CMP_NEQ_UQ);
    const __m512 dzdx = _mm512_maskz_div_ps(sloped, _mm512_sub_ps(rightZ, leftZ), _mm512_sub_ps(right, left));
    _mm512_store_si512(steps, trunc16(_mm512_mul_ps(dzdx, scale)));
    for (int32_t k = 0; k < rows; k++) {
        int32_t start = starts[k];
        const int32_t end = ends[k];
        if (start >= end) {
            continue;
        }
        // Only the low 16 bits of the depth and its step matter.
        uint32_t depth = uint32_t(depths[k]);
        const uint32_t step = uint32_t(steps[k]);
        if (start < 0) {
            depth += step * (0u - uint32_t(start));
            start = 0;
        }
        uint8_t* pixels = target + (row + k) * FrameWidth;
        int16_t* stored = R3d.DepthBuffer + (row + k) * FrameWidth;
        __m512i fresh = _mm512_add_epi16(_mm512_set1_epi16(int16_t(depth)),
                                         _mm512_mullo_epi16(_mm512_set1_epi16(int16_t(step)), lanes));
        const __m512i pass32 = _mm512_set1_epi16(int16_t(uint16_t(step * 32u)));
        for (int32_t x = start; x < end; x += 32) {
            const __mmask32 inSpan = _bzhi_u32(0xFFFFFFFFu, uint32_t(std::min(end - x, 32)));
            const __m512i old = _mm512_maskz_loadu_epi16(inSpan, stored + x);
            const __mmask32 pass = _mm512_mask_cmpge_epi16_mask(inSpan, fresh, old);
            _mm512_mask_storeu_epi16(stored + x, pass, fresh);
            _mm256_mask_storeu_epi8(pixels + x, pass, colours);
            fresh = _mm512_add_epi16(fresh, pass32);
        }
    }
}
#endif

void r3d_fill_spans(uint8_t* target, int32_t top, int32_t bottom, uint8_t colour) {
#if defined(R3D_AVX512)
    if (r3d_has_avx512()) {
        fill_spans_avx512(target, top, bottom, colour);
        return;
    }
#endif
    int32_t row = top;
#if defined(R3D_SSE2_ROWS)
    for (; row + 3 <= bottom; row += 4) {
        Span spans[4];
        spans_of_four_rows(row, spans);
        for (int k = 0; k < 4; k++) {
            draw_span(target, row + k, colour, spans[k]);
        }
    }
#endif
#if defined(R3D_WASM_SIMD)
    for (; row + 3 <= bottom; row += 4) {
        r3d_span_block_wasm(target, row, 4, wasm_v128_load(R3d.RowLeftX + row), wasm_v128_load(R3d.RowRightX + row),
                            wasm_v128_load(R3d.RowLeftZ + row), wasm_v128_load(R3d.RowRightZ + row), colour);
    }
#endif
    for (; row <= bottom; row++) {
        draw_span(target, row, colour, span_of_row(row));
    }
}

#if defined(R3D_WASM_SIMD)
void r3d_span_block_wasm(uint8_t* target, int32_t row, int32_t rows, v128_t left, v128_t right, v128_t leftZ,
                         v128_t rightZ, uint8_t colour) {
    Span spans[4];
    spans_of_four_rows_wasm(left, right, leftZ, rightZ, spans);
    for (int32_t k = 0; k < rows; k++) {
        draw_span(target, row + k, colour, spans[k]);
    }
}
#endif


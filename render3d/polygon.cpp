// The polygon filler: each edge records where it crosses every row it
// spans in the per-row edge tables (the leftmost and rightmost crossing and
// their depths), then each row's span is drawn (spans.cpp).
//
// Depth: polygons store trunc(z * 2048) wrapped to 16 bits (exact ordering
// for -16 < z <= 0), interpolated along the edges and across the rows.
#include "render3d/raster.h"

#include "render3d/convert.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(R3D_AVX512)
#include <immintrin.h>
#endif

namespace {

// The bits of a float (std::bit_cast is not in every standard library the
// program is built with).
uint32_t float_bits(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Steps an edge through the rows above the ones drawn (above the screen, or
// in the other half), where nothing is stored, until `row` reaches `target`
// or passes `last`. Once a step leaves x and z bit-for-bit unchanged every
// later one does too, so the rest are skipped: this bounds the walk for edges
// that start far above the screen.
void step_to_row(int32_t& row, int32_t target, int32_t last, float& x, float& z, float dx, float dz) {
    while (row < target && row <= last) {
        const float nextX = x + dx;
        const float nextZ = z + dz;
        if (float_bits(nextX) == float_bits(x) && float_bits(nextZ) == float_bits(z)) {
            row = target;
            return;
        }
        x = nextX;
        z = nextZ;
        row++;
    }
}

// An edge's walk down the rows, from its upper end: the first row drawn and
// the last, the crossing's x and z at the first and their steps per row.
struct EdgeWalk {
    int32_t row;
    int32_t last;
    float x;
    float z;
    float dx;
    float dz;
};

// Where one edge's walk through the rows drawn begins; empty (row > last)
// when it records nothing.
EdgeWalk edge_walk(const float* a, const float* b, int32_t firstRow, int32_t lastRow) {
    if ((a[1] < 0.0f && b[1] < 0.0f) || (a[1] >= float(FrameHeight) && b[1] >= float(FrameHeight))) {
        return EdgeWalk{1, 0, 0.0f, 0.0f, 0.0f, 0.0f};
    }
    if (a[1] > b[1]) {
        std::swap(a, b);
    }
    // Dividing by the height plus one is deliberate: the picture depends on
    // it. A horizontal edge (h <= 1) records only its upper end.
    const float h = (b[1] - a[1]) + 1.0f;
    EdgeWalk walk{r3d_trunc(a[1]), std::min(r3d_trunc(b[1]), lastRow), a[0], a[2], 0.0f, 0.0f};
    if (h > 1.0f) {
        walk.dx = (b[0] - a[0]) / h;
        walk.dz = (b[2] - a[2]) / h;
    }
    step_to_row(walk.row, firstRow, walk.last, walk.x, walk.z, walk.dx, walk.dz);
    return walk;
}

// Records the crossings of an edge's walk in the row tables.
void record_crossings(const EdgeWalk& walk) {
#if defined(__SSE2__)
    // The same steps and comparisons on the low lane of SSE registers, the
    // tables updated by masks instead of branches: whether a crossing
    // replaces the one stored changes from row to row in ways a branch
    // predictor keeps getting wrong.
    __m128 xs = _mm_set_ss(walk.x);
    __m128 zs = _mm_set_ss(walk.z);
    const __m128 dxs = _mm_set_ss(walk.dx);
    const __m128 dzs = _mm_set_ss(walk.dz);
    for (int32_t row = walk.row; row <= walk.last; row++) {
        // Ties replace: the later edge's z wins at a shared vertex.
        const __m128 right = _mm_load_ss(R3d.RowRightX + row);
        const __m128 rightZ = _mm_load_ss(R3d.RowRightZ + row);
        const __m128 further = _mm_cmpge_ss(xs, right);
        _mm_store_ss(R3d.RowRightX + row, _mm_or_ps(_mm_and_ps(further, xs), _mm_andnot_ps(further, right)));
        _mm_store_ss(R3d.RowRightZ + row, _mm_or_ps(_mm_and_ps(further, zs), _mm_andnot_ps(further, rightZ)));
        const __m128 left = _mm_load_ss(R3d.RowLeftX + row);
        const __m128 leftZ = _mm_load_ss(R3d.RowLeftZ + row);
        const __m128 nearer = _mm_cmple_ss(xs, left);
        _mm_store_ss(R3d.RowLeftX + row, _mm_or_ps(_mm_and_ps(nearer, xs), _mm_andnot_ps(nearer, left)));
        _mm_store_ss(R3d.RowLeftZ + row, _mm_or_ps(_mm_and_ps(nearer, zs), _mm_andnot_ps(nearer, leftZ)));
        xs = _mm_add_ss(xs, dxs);
        zs = _mm_add_ss(zs, dzs);
    }
#else
    float x = walk.x;
    float z = walk.z;
    for (int32_t row = walk.row; row <= walk.last; row++) {
        // Ties replace: the later edge's z wins at a shared vertex.
        if (x >= R3d.RowRightX[row]) {
            R3d.RowRightX[row] = x;
            R3d.RowRightZ[row] = z;
        }
        if (x <= R3d.RowLeftX[row]) {
            R3d.RowLeftX[row] = x;
            R3d.RowLeftZ[row] = z;
        }
        x += walk.dx;
        z += walk.dz;
    }
#endif
}

#if defined(R3D_AVX512)
// record_crossings on processors with AVX-512: the steps one after the
// other as before, kept in a list; then the comparisons and the table
// updates sixteen rows at a time, the stores masked to the rows where the
// crossing replaces the stored one. Each row sees the same comparisons in
// the same order of edges.
R3D_AVX512_TARGET void record_crossings_avx512(const EdgeWalk& walk) {
    const int32_t rows = walk.last - walk.row + 1;
    alignas(64) float xs[FrameHeight];
    alignas(64) float zs[FrameHeight];
    float x = walk.x;
    float z = walk.z;
    for (int32_t k = 0; k < rows; k++) {
        xs[k] = x;
        zs[k] = z;
        x += walk.dx;
        z += walk.dz;
    }
    for (int32_t k = 0; k < rows; k += 16) {
        const __mmask16 inEdge = __mmask16(_bzhi_u32(0xFFFFu, uint32_t(std::min(rows - k, 16))));
        const int32_t row = walk.row + k;
        const __m512 crossing = _mm512_maskz_loadu_ps(inEdge, xs + k);
        const __m512 depth = _mm512_maskz_loadu_ps(inEdge, zs + k);
        // Ties replace: the later edge's z wins at a shared vertex.
        const __mmask16 further = _mm512_mask_cmp_ps_mask(
            inEdge, crossing, _mm512_maskz_loadu_ps(inEdge, R3d.RowRightX + row), _CMP_GE_OQ);
        _mm512_mask_storeu_ps(R3d.RowRightX + row, further, crossing);
        _mm512_mask_storeu_ps(R3d.RowRightZ + row, further, depth);
        const __mmask16 nearer = _mm512_mask_cmp_ps_mask(
            inEdge, crossing, _mm512_maskz_loadu_ps(inEdge, R3d.RowLeftX + row), _CMP_LE_OQ);
        _mm512_mask_storeu_ps(R3d.RowLeftX + row, nearer, crossing);
        _mm512_mask_storeu_ps(R3d.RowLeftZ + row, nearer, depth);
    }
}
#endif

}  // namespace

void r3d_polygon_rows(uint8_t* target, const float (*screen)[3], int32_t n, uint8_t colour, int32_t firstRow,
                      int32_t lastRow) {
    if (target == nullptr || n <= 0) {
        return;
    }
    // Integer bounding box; the start values stay only where a box would be
    // rejected anyway.
    int32_t minX = 100000;
    int32_t maxX = -100000;
    int32_t minY = 100000;
    int32_t maxY = -100000;
    for (int32_t k = 0; k < n; k++) {
        const int32_t x = r3d_trunc(screen[k][0]);
        const int32_t y = r3d_trunc(screen[k][1]);
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    }
    if (maxY < 0 || minY > FrameHeight - 1 || maxX < 0 || minX > FrameWidth - 1) {
        return;
    }
    // Every row an edge can record lies in the box, so only those rows need
    // their tables reset and filled.
    const int32_t top = std::max(minY, firstRow);
    const int32_t bottom = std::min(maxY, lastRow);
    if (top > bottom) {
        return;
    }
    for (int32_t row = top; row <= bottom; row++) {
        R3d.RowLeftX[row] = 100000.0f;
        R3d.RowRightX[row] = -100000.0f;
    }
    for (int32_t k = 0; k < n; k++) {
        const EdgeWalk walk = edge_walk(screen[k], screen[k + 1 < n ? k + 1 : 0], top, bottom);
#if defined(R3D_AVX512)
        if (r3d_has_avx512()) {
            record_crossings_avx512(walk);
            continue;
        }
#endif
        record_crossings(walk);
    }
    r3d_fill_spans(target, top, bottom, colour);
}


// The polygon filler: each edge records where it crosses every row it
// spans in the per-row edge tables (the leftmost and rightmost crossing and
// their depths), then each row's span is drawn (spans.cpp). With AVX-512 a
// polygon of up to four edges keeps those tables in registers, sixteen rows
// at a time; in the browser build, four rows at a time.
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

#if defined(R3D_AVX512) || defined(R3D_WASM_SIMD)
// Polygons of up to four edges take their edge walks side by side.
#define R3D_QUAD_LANES 1

// Up to four edge walks of a polygon whose rows start at `top`, lane by
// lane, for the fillers that take the walks side by side (unused lanes
// zero): where each starts, its steps, and the steps from top to its first row.
struct EdgeLanes {
    alignas(16) float x[4] = {};
    alignas(16) float z[4] = {};
    alignas(16) float dx[4] = {};
    alignas(16) float dz[4] = {};
    alignas(16) int32_t firstStep[4] = {};
};

EdgeLanes edge_lanes(const EdgeWalk* walks, int32_t n, int32_t top) {
    EdgeLanes lanes;
    for (int32_t e = 0; e < n; e++) {
        lanes.x[e] = walks[e].x;
        lanes.z[e] = walks[e].z;
        lanes.dx[e] = walks[e].dx;
        lanes.dz[e] = walks[e].dz;
        lanes.firstStep[e] = walks[e].row - top;
    }
    return lanes;
}
#endif

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
// Records the crossings and depths of rows row ... row + 15 (those below
// row + rows) in the row tables: the comparisons for the sixteen rows at
// once, the stores masked to the rows where the crossing replaces the
// stored one.
R3D_AVX512_TARGET inline void record_lanes_avx512(int32_t row, int32_t rows, __m512 crossing, __m512 depth) {
    const __mmask16 inEdge = __mmask16(_bzhi_u32(0xFFFFu, uint32_t(std::min(rows, 16))));
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

// record_crossings on processors with AVX-512: sixteen rows at a time, the
// steps one after the other as before, each crossing and depth dropped into
// its row's lane as it is formed; then the comparisons and the table updates
// for the sixteen rows at once, the stores masked to the rows where the
// crossing replaces the stored one. Each row sees the same comparisons in
// the same order of edges.
//
// The lanes are filled in registers (sixteen scalar stores read back as one
// vector would wait for every store to reach the cache), and always all
// sixteen steps, lanes past the edge's end masked off: a step count that
// varies from edge to edge would be a branch the processor mispredicts, and
// without it the next edge's steps overlap this edge's.
R3D_AVX512_TARGET void record_crossings_avx512(const EdgeWalk& walk) {
    const int32_t rows = walk.last - walk.row + 1;
    const __m128 dx = _mm_set_ss(walk.dx);
    const __m128 dz = _mm_set_ss(walk.dz);
    __m128 x = _mm_set_ss(walk.x);
    __m128 z = _mm_set_ss(walk.z);
    for (int32_t k = 0; k < rows; k += 16) {
        __m512 crossing = _mm512_setzero_ps();
        __m512 depth = _mm512_setzero_ps();
#pragma GCC unroll 16
        for (int32_t j = 0; j < 16; j++) {
            const __mmask16 lane = __mmask16(1u << j);
            crossing = _mm512_mask_broadcastss_ps(crossing, lane, x);
            depth = _mm512_mask_broadcastss_ps(depth, lane, z);
            x = _mm_add_ss(x, dx);
            z = _mm_add_ss(z, dz);
        }
        record_lanes_avx512(walk.row + k, rows - k, crossing, depth);
    }
}

// One step of up to four edges' walks side by side: the lanes whose edge
// has reached its first row (`waits` steps from the top) take a step.
R3D_AVX512_TARGET inline void walk_lanes(__m128& xs, __m128& zs, __m128 dxs, __m128 dzs, __m128i waits,
                                         int32_t step) {
    const __mmask8 walking = _mm_cmpge_epi32_mask(_mm_set1_epi32(step), waits);
    xs = _mm_mask_add_ps(xs, walking, xs, dxs);
    zs = _mm_mask_add_ps(zs, walking, zs, dzs);
}

// A polygon of at most four edges, rows top ... bottom, on processors with
// AVX-512: the crossings every edge records, compared and kept in the
// lanes of registers instead of the tables, sixteen rows at a time, each
// row seeing the same comparisons in the same order of edges; then those
// rows' spans. The four edges' steps are taken side by side in the lanes of
// one vector, each lane the same additions as its edge's own walk, so the
// four walks take the time of one; a lane waits at its edge's first value
// until its first row.
R3D_AVX512_TARGET void fill_quad_avx512(uint8_t* target, const EdgeWalk* walks, int32_t n, int32_t top,
                                        int32_t bottom, uint8_t colour) {
    const EdgeLanes lanes = edge_lanes(walks, n, top);
    __m128 xs = _mm_load_ps(lanes.x);
    __m128 zs = _mm_load_ps(lanes.z);
    const __m128 dxs = _mm_load_ps(lanes.dx);
    const __m128 dzs = _mm_load_ps(lanes.dz);
    const __m128i waits = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes.firstStep));
    // The zero-masking form: the plain one starts from an undefined vector.
    constexpr __mmask16 AllLanes = 0xFFFF;
    // Lane s of a pair of quarters (below): edge 0's value at step s, for s < 8.
    const __m512i stepsOfEdge0 = _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 28, 24, 20, 16, 12, 8, 4, 0);
    const __m512i laneRows = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    int32_t step = 0;   // rows from top of the value in xs and zs
    for (int32_t row = top; row <= bottom; row += 16) {
        // quarterX[q] lane 4 * s + e: edge e's crossing at row row + 4 * q + s.
        __m512 quarterX[4];
        __m512 quarterZ[4];
        for (int32_t q = 0; q < 4; q++) {
            quarterX[q] = _mm512_castps128_ps512(xs);
            quarterZ[q] = _mm512_castps128_ps512(zs);
            walk_lanes(xs, zs, dxs, dzs, waits, step++);
            quarterX[q] = _mm512_insertf32x4(quarterX[q], xs, 1);
            quarterZ[q] = _mm512_insertf32x4(quarterZ[q], zs, 1);
            walk_lanes(xs, zs, dxs, dzs, waits, step++);
            quarterX[q] = _mm512_insertf32x4(quarterX[q], xs, 2);
            quarterZ[q] = _mm512_insertf32x4(quarterZ[q], zs, 2);
            walk_lanes(xs, zs, dxs, dzs, waits, step++);
            quarterX[q] = _mm512_insertf32x4(quarterX[q], xs, 3);
            quarterZ[q] = _mm512_insertf32x4(quarterZ[q], zs, 3);
            walk_lanes(xs, zs, dxs, dzs, waits, step++);
        }
        const int32_t rows = std::min(16, bottom - row + 1);
        __m512 left = _mm512_set1_ps(100000.0f);
        __m512 right = _mm512_set1_ps(-100000.0f);
        __m512 leftZ = _mm512_setzero_ps();
        __m512 rightZ = _mm512_setzero_ps();
        const __m512i rows16 = _mm512_add_epi32(laneRows, _mm512_set1_epi32(row));
        for (int32_t e = 0; e < n; e++) {
            const __mmask16 inEdge = _mm512_cmpge_epi32_mask(rows16, _mm512_set1_epi32(walks[e].row))
                                     & _mm512_cmple_epi32_mask(rows16, _mm512_set1_epi32(walks[e].last));
            if (inEdge == 0) {
                continue;
            }
            // Rows 0..7 of the sixteen from the first two quarters, 8..15 from the last two.
            const __m512i steps = _mm512_add_epi32(stepsOfEdge0, _mm512_set1_epi32(e));
            const __m512 crossing = _mm512_maskz_shuffle_f32x4(
                AllLanes, _mm512_permutex2var_ps(quarterX[0], steps, quarterX[1]),
                _mm512_permutex2var_ps(quarterX[2], steps, quarterX[3]), 0x44);
            const __m512 depth = _mm512_maskz_shuffle_f32x4(
                AllLanes, _mm512_permutex2var_ps(quarterZ[0], steps, quarterZ[1]),
                _mm512_permutex2var_ps(quarterZ[2], steps, quarterZ[3]), 0x44);
            // Ties replace: the later edge's z wins at a shared vertex.
            const __mmask16 further = _mm512_mask_cmp_ps_mask(inEdge, crossing, right, _CMP_GE_OQ);
            right = _mm512_mask_mov_ps(right, further, crossing);
            rightZ = _mm512_mask_mov_ps(rightZ, further, depth);
            const __mmask16 nearer = _mm512_mask_cmp_ps_mask(inEdge, crossing, left, _CMP_LE_OQ);
            left = _mm512_mask_mov_ps(left, nearer, crossing);
            leftZ = _mm512_mask_mov_ps(leftZ, nearer, depth);
        }
        r3d_span_block_avx512(target, row, rows, left, right, leftZ, rightZ, colour);
    }
}
#endif

#if defined(R3D_WASM_SIMD)
// fill_quad_avx512 for the browser build, four rows at a time: the four
// edges' steps side by side in the lanes of one vector (a lane keeps its
// edge's first value until its first row), each four steps turned into four
// rows of each edge (a transpose), the crossings compared and kept in
// registers in the order of the edges, and those rows' spans drawn.
void fill_quad_wasm(uint8_t* target, const EdgeWalk* walks, int32_t n, int32_t top, int32_t bottom,
                    uint8_t colour) {
    const EdgeLanes lanes = edge_lanes(walks, n, top);
    v128_t xs = wasm_v128_load(lanes.x);
    v128_t zs = wasm_v128_load(lanes.z);
    const v128_t dxs = wasm_v128_load(lanes.dx);
    const v128_t dzs = wasm_v128_load(lanes.dz);
    const v128_t waits = wasm_v128_load(lanes.firstStep);
    int32_t step = 0;   // rows from top of the value in xs and zs
    for (int32_t row = top; row <= bottom; row += 4) {
        // byStep[s] lane e: edge e's crossing at row row + s.
        v128_t byStepX[4];
        v128_t byStepZ[4];
        for (int32_t s = 0; s < 4; s++, step++) {
            byStepX[s] = xs;
            byStepZ[s] = zs;
            // The lanes whose edge has reached its first row take a step.
            const v128_t walking = wasm_i32x4_ge(wasm_i32x4_splat(step), waits);
            xs = wasm_v128_bitselect(wasm_f32x4_add(xs, dxs), xs, walking);
            zs = wasm_v128_bitselect(wasm_f32x4_add(zs, dzs), zs, walking);
        }
        // byEdge[e] lane s: the same values, edge by edge.
        const auto transpose = [](const v128_t* byStep, v128_t* byEdge) {
            const v128_t low01 = wasm_i32x4_shuffle(byStep[0], byStep[1], 0, 4, 1, 5);
            const v128_t low23 = wasm_i32x4_shuffle(byStep[2], byStep[3], 0, 4, 1, 5);
            const v128_t high01 = wasm_i32x4_shuffle(byStep[0], byStep[1], 2, 6, 3, 7);
            const v128_t high23 = wasm_i32x4_shuffle(byStep[2], byStep[3], 2, 6, 3, 7);
            byEdge[0] = wasm_i32x4_shuffle(low01, low23, 0, 1, 4, 5);
            byEdge[1] = wasm_i32x4_shuffle(low01, low23, 2, 3, 6, 7);
            byEdge[2] = wasm_i32x4_shuffle(high01, high23, 0, 1, 4, 5);
            byEdge[3] = wasm_i32x4_shuffle(high01, high23, 2, 3, 6, 7);
        };
        v128_t crossings[4];
        v128_t depths[4];
        transpose(byStepX, crossings);
        transpose(byStepZ, depths);
        v128_t left = wasm_f32x4_splat(100000.0f);
        v128_t right = wasm_f32x4_splat(-100000.0f);
        v128_t leftZ = wasm_f32x4_splat(0.0f);
        v128_t rightZ = wasm_f32x4_splat(0.0f);
        const v128_t rows = wasm_i32x4_add(wasm_i32x4_make(0, 1, 2, 3), wasm_i32x4_splat(row));
        for (int32_t e = 0; e < n; e++) {
            const v128_t inEdge = wasm_v128_and(wasm_i32x4_ge(rows, wasm_i32x4_splat(walks[e].row)),
                                                wasm_i32x4_le(rows, wasm_i32x4_splat(walks[e].last)));
            // Ties replace: the later edge's z wins at a shared vertex.
            const v128_t further = wasm_v128_and(inEdge, wasm_f32x4_ge(crossings[e], right));
            right = wasm_v128_bitselect(crossings[e], right, further);
            rightZ = wasm_v128_bitselect(depths[e], rightZ, further);
            const v128_t nearer = wasm_v128_and(inEdge, wasm_f32x4_le(crossings[e], left));
            left = wasm_v128_bitselect(crossings[e], left, nearer);
            leftZ = wasm_v128_bitselect(depths[e], leftZ, nearer);
        }
        r3d_span_block_wasm(target, row, std::min(4, bottom - row + 1), left, right, leftZ, rightZ, colour);
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
#if defined(R3D_QUAD_LANES)
#if defined(R3D_AVX512)
    const bool quadLanes = n <= 4 && r3d_has_avx512();
#else
    const bool quadLanes = n <= 4;
#endif
    if (quadLanes) {
        EdgeWalk walks[4];
        for (int32_t k = 0; k < n; k++) {
            walks[k] = edge_walk(screen[k], screen[k + 1 < n ? k + 1 : 0], top, bottom);
        }
#if defined(R3D_AVX512)
        fill_quad_avx512(target, walks, n, top, bottom, colour);
#else
        fill_quad_wasm(target, walks, n, top, bottom, colour);
#endif
        return;
    }
#endif
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


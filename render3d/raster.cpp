// The back end of the pipeline: r3d_end projects, lights and draws a batch
// with the two depth-tested rasterizers, a line drawer with 16.16 fixed-point
// minor axis and a scanline polygon filler working through per-row edge
// tables.
//
// Depth encoding: larger is nearer. Polygons store trunc(z * 2048) wrapped to
// 16 bits (exact ordering for -16 < z <= 0); lines store trunc((z + 0.01) *
// 2048), about 20 units nearer than a polygon at the same z, and are drawn
// only where strictly nearer, so an outline beats its own fill while a second
// line at the same depth does not beat the first.
//
// The loops skip work that cannot show (rows and columns off the screen, rows
// outside the polygon's bounding box) only in ways that give bit-identical
// results to walking every step; tests/render3d keeps the literal walk as
// the reference.
#include "render3d/r3d.h"
#include "render3d/convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The bits of a float (std::bit_cast is not in every standard library the
// program is built with).
uint32_t float_bits(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Integer steps wrap like the two's-complement registers they model; done in
// unsigned arithmetic so that the wrap is defined. Advancing by `count` steps
// at once equals adding the step `count` times.
int32_t advance(int32_t value, int32_t step, int64_t count) {
    return int32_t(uint32_t(value) + uint32_t(step) * uint32_t(uint64_t(count)));
}

// The rows (or columns) a band of `width` pixels centred at `centre` covers,
// clipped to 0 .. limit - 1: from centre - floor(width / 2), width in all.
// Formed in 64 bits so that any width and centre are safe; an empty result
// has lo > hi.
void band_range(int32_t centre, uint32_t width, int32_t limit, int32_t& lo, int32_t& hi) {
    const int64_t start = int64_t(centre) - int64_t(width / 2);
    const int64_t end = start + int64_t(width) - 1;
    lo = int32_t(std::max<int64_t>(start, 0));
    hi = int32_t(std::min<int64_t>(end, limit - 1));
}

// One band of a line at one step: strict depth test, the full 32-bit depth
// compared, its low 16 bits stored.
void draw_band(uint8_t colour, int32_t depth, int32_t first, int32_t last, int32_t stride, int32_t offset) {
    for (int32_t k = first; k <= last; k++) {
        const int32_t index = k * stride + offset;
        if (R3d.DepthBuffer[index] < depth) {
            R3d.target[index] = colour;
            R3d.DepthBuffer[index] = int16_t(depth);
        }
    }
}

// The flat colour of vertex i. Lit: a constant light colour term plus a light
// of strength 1.2 shining along +z, towards the viewer; each channel is
// capped at 1 but has no lower limit.
uint8_t vertex_colour(uint32_t i) {
    const float* base = R3d.VertexColors[i];
    if (R3d.lighting == 0) {
        return r3d_colour_index(base[0], base[1], base[2]);
    }
    const float d = float(1.2 * double(R3d.VertexNormals[i][2]));
    float lit[3];
    for (int k = 0; k < 3; k++) {
        float c = base[k] * R3d.lightColour[k];
        if (d > 0.0f) {
            c = c + base[k] * d;
        }
        if (c > 1.0f) {
            c = 1.0f;
        }
        lit[k] = c;
    }
    return r3d_colour_index(lit[0], lit[1], lit[2]);
}

bool vertex_in_front(uint32_t i) {
    return r3d_in_front(R3d.VertexPositions[i][2]);
}

void project_vertex(uint32_t i, float* screen) {
    const float* v = R3d.VertexPositions[i];
    screen[0] = r3d_project_x(v[0], v[2]);
    screen[1] = r3d_project_y(v[1], v[2]);
    screen[2] = v[2];
}

void draw_segment(uint8_t colour, const float* a, const float* b) {
    r3d_draw_line(colour, a[0], a[1], a[2], b[0], b[1], b[2]);
}

// Lines and line strips: a segment is drawn only when both of its ends are in
// front; each takes the colour of its first end. A vertex behind the near
// plane takes its LINES partner with it.
void end_lines(uint32_t count, bool strip) {
    uint32_t i = 0;
    while (i < count) {
        if (!vertex_in_front(i)) {
            i += strip ? 1 : 2;
            continue;
        }
        if (strip && i + 1 >= count) {
            break;
        }
        float a[3];
        float b[3];
        project_vertex(i, a);
        const uint8_t colour = vertex_colour(i);
        const bool partner = i + 1 < count && vertex_in_front(i + 1);
        if (partner) {
            project_vertex(i + 1, b);
            draw_segment(colour, a, b);
        }
        i += (strip && partner) ? 1 : 2;
    }
}

// One filled polygon in the colour of its first vertex in front, then its
// edges 0-1 and 2-3 outlined in black (index 0) wherever both ends are in
// front. The fill needs every vertex in front; there is no near-plane
// clipping.
void end_polygon(uint32_t count) {
    uint32_t first = 0;
    while (first < count && !vertex_in_front(first)) {
        first++;
    }
    if (first == count) {
        return;
    }
    const uint8_t colour = vertex_colour(first);
    float screen[R3dMaxVertices][3];
    bool front[R3dMaxVertices];
    bool all = true;
    for (uint32_t k = 0; k < count; k++) {
        front[k] = vertex_in_front(k);
        if (front[k]) {
            project_vertex(k, screen[k]);
        }
        all = all && front[k];
    }
    if (all) {
        r3d_fill_polygon(screen, int32_t(count), colour);
    }
    if (count >= 2 && front[0] && front[1]) {
        draw_segment(0, screen[0], screen[1]);
    }
    if (count >= 4 && front[2] && front[3]) {
        draw_segment(0, screen[2], screen[3]);
    }
}

// Steps an edge through the rows above the screen, where nothing is stored,
// until `row` reaches 0 or passes `last`. Once a step leaves x and z
// bit-for-bit unchanged every later one does too, so the rest are skipped:
// this bounds the walk for edges that start far above the screen.
void step_to_screen(int32_t& row, int32_t last, float& x, float& z, float dx, float dz) {
    while (row < 0 && row <= last) {
        const float nextX = x + dx;
        const float nextZ = z + dz;
        if (float_bits(nextX) == float_bits(x) && float_bits(nextZ) == float_bits(z)) {
            row = 0;
            return;
        }
        x = nextX;
        z = nextZ;
        row++;
    }
}

// Records one edge's crossing of every row it spans in the row tables.
void walk_edge(const float* a, const float* b) {
    if ((a[1] < 0.0f && b[1] < 0.0f) || (a[1] >= float(FrameHeight) && b[1] >= float(FrameHeight))) {
        return;
    }
    if (a[1] > b[1]) {
        std::swap(a, b);
    }
    // Dividing by the height plus one is deliberate: the picture depends on
    // it. A horizontal edge (h <= 1) records only its upper end.
    const float h = (b[1] - a[1]) + 1.0f;
    float dx = 0.0f;
    float dz = 0.0f;
    if (h > 1.0f) {
        dx = (b[0] - a[0]) / h;
        dz = (b[2] - a[2]) / h;
    }
    int32_t row = r3d_trunc(a[1]);
    const int32_t last = std::min(r3d_trunc(b[1]), FrameHeight - 1);
    float x = a[0];
    float z = a[2];
    step_to_screen(row, last, x, z, dx, dz);
    for (; row <= last; row++) {
        // Ties replace: the later edge's z wins at a shared vertex.
        if (x >= R3d.RowRightX[row]) {
            R3d.RowRightX[row] = x;
            R3d.RowRightZ[row] = z;
        }
        if (x <= R3d.RowLeftX[row]) {
            R3d.RowLeftX[row] = x;
            R3d.RowLeftZ[row] = z;
        }
        x += dx;
        z += dz;
    }
}

// One row of the polygon: pixels start <= x < end, the right end excluded,
// depth linear in screen x from the left crossing, 16-bit wrapping, written
// where it is >= the stored depth.
void fill_span(int32_t row, uint8_t colour) {
    const float left = R3d.RowLeftX[row];
    const float right = R3d.RowRightX[row];
    int32_t start = r3d_trunc(left + 0.5f);
    const int32_t end = std::min(r3d_trunc(right + 0.5f), FrameWidth);
    if (start >= end) {
        return;   // also every row no edge reached (left 100000, right -100000)
    }
    int32_t depth = int16_t(r3d_trunc(R3d.RowLeftZ[row] * 2048.0f));
    float dzdx = 0.0f;
    if (right != left) {
        dzdx = (R3d.RowRightZ[row] - R3d.RowLeftZ[row]) / (right - left);
    }
    const int32_t step = int16_t(r3d_trunc(dzdx * 2048.0f));
    if (start < 0) {
        // Pixels left of the screen only advance the depth.
        depth = advance(depth, step, int64_t(0) - start);
        start = 0;
    }
    uint8_t* pixels = R3d.target + row * FrameWidth;
    int16_t* depths = R3d.DepthBuffer + row * FrameWidth;
    uint16_t d = uint16_t(depth);
    const uint16_t delta = uint16_t(step);
    int32_t x = start;
#if defined(__SSE2__)
    // Eight pixels at a time while eight fit in the row. Lanes past the end
    // of the span store back what they loaded, so a short span costs one
    // pass; the depth of lane k is d + k steps, wrapped like the scalar sum.
    const __m128i lanes = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    const __m128i ramp = _mm_mullo_epi16(_mm_set1_epi16(int16_t(delta)), lanes);
    const __m128i colours = _mm_set1_epi8(int8_t(colour));
    for (; x < end && x <= FrameWidth - 8; x += 8) {
        const __m128i inSpan = _mm_cmplt_epi16(lanes, _mm_set1_epi16(int16_t(std::min(end - x, 8))));
        const __m128i fresh = _mm_add_epi16(_mm_set1_epi16(int16_t(d)), ramp);
        const __m128i stored = _mm_loadu_si128(reinterpret_cast<const __m128i*>(depths + x));
        const __m128i pass = _mm_andnot_si128(_mm_cmpgt_epi16(stored, fresh), inSpan);
        const __m128i newDepths = _mm_or_si128(_mm_and_si128(pass, fresh), _mm_andnot_si128(pass, stored));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(depths + x), newDepths);
        const __m128i pass8 = _mm_packs_epi16(pass, pass);
        const __m128i old = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pixels + x));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pixels + x),
                         _mm_or_si128(_mm_and_si128(pass8, colours), _mm_andnot_si128(pass8, old)));
        d = uint16_t(d + uint32_t(delta) * 8u);
    }
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

}  // namespace

void r3d_draw_line(uint8_t colour, float x0, float y0, float z0, float x1, float y1, float z1) {
    if ((x0 < 0.0f && x1 < 0.0f) || (y0 < 0.0f && y1 < 0.0f)
        || (x0 >= float(FrameWidth) && x1 >= float(FrameWidth)) || (y0 >= float(FrameHeight) && y1 >= float(FrameHeight))) {
        return;
    }
    const uint32_t width = R3d.lineWidth;
    if (width == 0 || R3d.target == nullptr) {
        return;
    }
    const float dx = x1 - x0;
    const float dy = y1 - y0;
    const float dz = z1 - z0;
    z0 += 0.01f;
    z1 += 0.01f;
    const bool xMajor = std::fabs(dx) > std::fabs(dy);
    if (!xMajor && y0 == y1) {
        return;   // no length
    }
    // Walk the major axis from its smaller end; u is the major coordinate,
    // v the minor one. The steps are the same either way round.
    float u0 = xMajor ? x0 : y0;
    float u1 = xMajor ? x1 : y1;
    float v0 = xMajor ? y0 : x0;
    if (u0 > u1) {
        std::swap(u0, u1);
        v0 = xMajor ? y1 : x1;
        z0 = z1;
    }
    const float vStep = xMajor ? dy / dx : dx / dy;
    const float zStep = xMajor ? dz / dx : dz / dy;
    const int32_t majorLimit = xMajor ? FrameWidth : FrameHeight;
    const int32_t minorLimit = xMajor ? FrameHeight : FrameWidth;
    int32_t first = r3d_trunc(u0 + 0.5f);
    const int32_t last = std::min(r3d_trunc(u1 + 0.5f), majorLimit - 1);
    if (first > last) {
        return;
    }
    int32_t vFixed = r3d_trunc((v0 + 0.5f) * 65536.0f);
    const int32_t vFixedStep = r3d_trunc(vStep * 65536.0f);
    int32_t depth = r3d_trunc(z0 * 2048.0f);
    const int32_t depthStep = r3d_trunc(zStep * 2048.0f);
    if (first < 0) {
        vFixed = advance(vFixed, vFixedStep, int64_t(0) - first);
        depth = advance(depth, depthStep, int64_t(0) - first);
        first = 0;
    }
    for (int32_t u = first; u <= last; u++) {
        int32_t lo;
        int32_t hi;
        // >> on a negative value rounds toward minus infinity.
        band_range(vFixed >> 16, width, minorLimit, lo, hi);
        if (xMajor) {
            draw_band(colour, depth, lo, hi, FrameWidth, u);
        } else {
            draw_band(colour, depth, lo, hi, 1, u * FrameWidth);
        }
        vFixed = advance(vFixed, vFixedStep, 1);
        depth = advance(depth, depthStep, 1);
    }
}

void r3d_fill_polygon(const float (*screen)[3], int32_t n, uint8_t colour) {
    if (R3d.target == nullptr || n <= 0) {
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
    const int32_t top = std::max(minY, 0);
    const int32_t bottom = std::min(maxY, FrameHeight - 1);
    for (int32_t row = top; row <= bottom; row++) {
        R3d.RowLeftX[row] = 100000.0f;
        R3d.RowRightX[row] = -100000.0f;
    }
    for (int32_t k = 0; k < n; k++) {
        walk_edge(screen[k], screen[k + 1 < n ? k + 1 : 0]);
    }
    for (int32_t row = top; row <= bottom; row++) {
        fill_span(row, colour);
    }
}

void r3d_end() {
    const uint32_t count = std::min(R3d.vertexCount, uint32_t(R3dMaxVertices));
    if (R3d.target != nullptr) {
        if (R3d.mode == R3D_LINES || R3d.mode == R3D_LINE_STRIP) {
            end_lines(count, R3d.mode == R3D_LINE_STRIP);
        } else if (R3d.mode == R3D_POLYGON) {
            end_polygon(count);
        }
    }
    R3d.vertexCount = 0;
}

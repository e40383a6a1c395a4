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
// the reference. Every rasterizer draws only the rows firstRow ... lastRow
// it is given: a deferred frame draws the two parts of its rows on two
// threads, an immediate one all rows at once.
#include "render3d/r3d.h"
#include "render3d/convert.h"
#include "render3d/row_halves.h"

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

void draw_line_rows(uint8_t colour, uint32_t width, const float* a, const float* b, int32_t firstRow,
                    int32_t lastRow);
void fill_polygon_rows(const float (*screen)[3], int32_t n, uint8_t colour, int32_t firstRow, int32_t lastRow);

// Room in the deferred frame's record for one primitive of `count` vertices;
// a full record is drawn first.
float (*record(int32_t count, uint8_t colour, bool line))[3] {
    if (R3d.commandCount == R3dMaxCommands || R3d.commandVertexCount + count > R3dMaxCommandVertices) {
        r3d_draw_recorded();
    }
    R3dCommand& command = R3d.Commands[R3d.commandCount++];
    command.first = R3d.commandVertexCount;
    command.count = count;
    command.lineWidth = R3d.lineWidth;
    command.colour = colour;
    command.line = line;
    R3d.commandVertexCount += count;
    return R3d.CommandVertices + command.first;
}

void copy_vertex(float* to, const float* from) {
    to[0] = from[0];
    to[1] = from[1];
    to[2] = from[2];
}

void draw_segment(uint8_t colour, const float* a, const float* b) {
    if (R3d.deferring) {
        float (*ends)[3] = record(2, colour, true);
        copy_vertex(ends[0], a);
        copy_vertex(ends[1], b);
        return;
    }
    draw_line_rows(colour, R3d.lineWidth, a, b, 0, FrameHeight - 1);
}

void fill(const float (*screen)[3], int32_t n, uint8_t colour) {
    if (R3d.deferring) {
        float (*vertices)[3] = record(n, colour, false);
        R3dCommand& command = R3d.Commands[R3d.commandCount - 1];
        command.top = INT32_MAX;
        command.bottom = INT32_MIN;
        for (int32_t k = 0; k < n; k++) {
            copy_vertex(vertices[k], screen[k]);
            const int32_t y = r3d_trunc(screen[k][1]);
            command.top = std::min(command.top, y);
            command.bottom = std::max(command.bottom, y);
        }
        return;
    }
    fill_polygon_rows(screen, n, colour, 0, FrameHeight - 1);
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
        fill(screen, int32_t(count), colour);
    }
    if (count >= 2 && front[0] && front[1]) {
        draw_segment(0, screen[0], screen[1]);
    }
    if (count >= 4 && front[2] && front[3]) {
        draw_segment(0, screen[2], screen[3]);
    }
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

// Records one edge's crossing of every row it spans, of those drawn, in the
// row tables.
void walk_edge(const float* a, const float* b, int32_t firstRow, int32_t lastRow) {
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
    const int32_t last = std::min(r3d_trunc(b[1]), lastRow);
    float x = a[0];
    float z = a[2];
    step_to_row(row, firstRow, last, x, z, dx, dz);
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

// One row's span as fill_span sets it up: its pixels start <= x < end, the
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
[[gnu::always_inline]] inline void draw_span(int32_t row, uint8_t colour, Span span) {
    int32_t start = span.start;
    const int32_t end = span.end;
    if (start >= end) {
        return;   // also every row no edge reached (left 100000, right -100000)
    }
    int32_t depth = int16_t(span.depth);
    const int32_t step = int16_t(span.step);
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

#if defined(__SSE2__)
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

// The spans of rows top ... bottom, in order.
void fill_rows(int32_t top, int32_t bottom, uint8_t colour) {
    int32_t row = top;
#if defined(__SSE2__)
    for (; row + 3 <= bottom; row += 4) {
        Span spans[4];
        spans_of_four_rows(row, spans);
        for (int k = 0; k < 4; k++) {
            draw_span(row + k, colour, spans[k]);
        }
    }
#endif
    for (; row <= bottom; row++) {
        draw_span(row, colour, span_of_row(row));
    }
}

// The line from a to b, clipped to the rows firstRow ... lastRow: an x-major
// line clips each step's vertical band, a y-major one skips the steps of the
// other rows (advancing the fixed-point values as the skipped steps would).
void draw_line_rows(uint8_t colour, uint32_t width, const float* a, const float* b, int32_t firstRow,
                    int32_t lastRow) {
    const float x0 = a[0];
    const float x1 = b[0];
    const float y0 = a[1];
    const float y1 = b[1];
    float z0 = a[2];
    float z1 = b[2];
    if ((x0 < 0.0f && x1 < 0.0f) || (y0 < 0.0f && y1 < 0.0f)
        || (x0 >= float(FrameWidth) && x1 >= float(FrameWidth)) || (y0 >= float(FrameHeight) && y1 >= float(FrameHeight))) {
        return;
    }
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
    const int32_t minorLimit = xMajor ? FrameHeight : FrameWidth;
    int32_t first = r3d_trunc(u0 + 0.5f);
    const int32_t last = std::min(r3d_trunc(u1 + 0.5f), xMajor ? FrameWidth - 1 : lastRow);
    if (first > last) {
        return;
    }
    const int32_t lowest = xMajor ? 0 : firstRow;
    int32_t vFixed = r3d_trunc((v0 + 0.5f) * 65536.0f);
    const int32_t vFixedStep = r3d_trunc(vStep * 65536.0f);
    int32_t depth = r3d_trunc(z0 * 2048.0f);
    const int32_t depthStep = r3d_trunc(zStep * 2048.0f);
    if (first < lowest) {
        vFixed = advance(vFixed, vFixedStep, int64_t(lowest) - first);
        depth = advance(depth, depthStep, int64_t(lowest) - first);
        first = lowest;
    }
    for (int32_t u = first; u <= last; u++) {
        int32_t lo;
        int32_t hi;
        // >> on a negative value rounds toward minus infinity.
        band_range(vFixed >> 16, width, minorLimit, lo, hi);
        if (xMajor) {
            draw_band(colour, depth, std::max(lo, firstRow), std::min(hi, lastRow), FrameWidth, u);
        } else {
            draw_band(colour, depth, lo, hi, 1, u * FrameWidth);
        }
        vFixed = advance(vFixed, vFixedStep, 1);
        depth = advance(depth, depthStep, 1);
    }
}

void fill_polygon_rows(const float (*screen)[3], int32_t n, uint8_t colour, int32_t firstRow, int32_t lastRow) {
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
        walk_edge(screen[k], screen[k + 1 < n ? k + 1 : 0], top, bottom);
    }
    fill_rows(top, bottom, colour);
}

// One part of the rows of the recorded frame, every primitive in order.
void draw_commands(int32_t firstRow, int32_t lastRow) {
    for (int32_t k = 0; k < R3d.commandCount; k++) {
        const R3dCommand& command = R3d.Commands[k];
        const float (*vertices)[3] = R3d.CommandVertices + command.first;
        if (!command.line && (command.bottom < firstRow || command.top > lastRow)) {
            continue;   // as fill_polygon_rows would find, from its box
        }
        if (command.line) {
            draw_line_rows(command.colour, command.lineWidth, vertices[0], vertices[1], firstRow, lastRow);
        } else {
            fill_polygon_rows(vertices, command.count, command.colour, firstRow, lastRow);
        }
    }
}

}  // namespace

void r3d_draw_line(uint8_t colour, float x0, float y0, float z0, float x1, float y1, float z1) {
    const float a[3] = {x0, y0, z0};
    const float b[3] = {x1, y1, z1};
    draw_line_rows(colour, R3d.lineWidth, a, b, 0, FrameHeight - 1);
}

void r3d_fill_polygon(const float (*screen)[3], int32_t n, uint8_t colour) {
    fill_polygon_rows(screen, n, colour, 0, FrameHeight - 1);
}

void r3d_draw_recorded() {
    if (R3d.commandCount == 0) {
        return;
    }
    r3d_run_row_halves(draw_commands);
    R3d.commandCount = 0;
    R3d.commandVertexCount = 0;
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

// The back end of the pipeline: r3d_end projects, lights and draws a batch,
// or records it in a deferred frame; the recorded frame drawn in its two
// parts of the rows (row_halves.h). The rasterizers themselves are in
// line.cpp, polygon.cpp and spans.cpp (raster.h).
//
// The rasterizers skip work that cannot show (rows and columns off the
// screen, rows outside the polygon's bounding box or a line's band) only in
// ways that give bit-identical results to walking every step;
// tests/render3d keeps the literal walk as the reference.
#include "render3d/r3d.h"
#include "render3d/convert.h"
#include "render3d/raster.h"
#include "render3d/row_halves.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

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

bool record_empty() {
    return R3d.commandCount == 0 && !R3d.clearFirst;
}

// Room in the deferred frame's record for one primitive of `count` vertices;
// a full record is drawn first. The caller completes the primitive, then
// publishes it (r3d_parts_publish): from then on a drawing thread may read it.
float (*record(int32_t count, uint8_t colour, bool line))[3] {
    if (R3d.commandCount == R3dMaxCommands || R3d.commandVertexCount + count > R3dMaxCommandVertices) {
        r3d_draw_recorded();
    }
    if (record_empty()) {
        r3d_parts_begin();
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

// The rows a line of this width from a to b can touch, with a margin: its
// pixels lie within width of the rows of its ends, plus the one step an
// x-major walk may run past its end and the drift of its 16.16 minor axis
// (under 1/65536 of a pixel a step, a fraction of a pixel over the few
// thousand steps a bounded line can take). Ends far off the screen or not
// finite (where the fixed-point values could wrap) and very wide lines get
// all rows.
void line_rows(const float* a, const float* b, uint32_t width, int32_t& top, int32_t& bottom) {
    constexpr float Reach = 4096.0f;
    const bool bounded = std::fabs(a[0]) <= Reach && std::fabs(a[1]) <= Reach && std::fabs(b[0]) <= Reach
                         && std::fabs(b[1]) <= Reach && width <= uint32_t(Reach);
    if (!bounded) {
        top = INT32_MIN;
        bottom = INT32_MAX;
        return;
    }
    // Truncation less one covers the floor of negative values too.
    const int32_t reach = int32_t(width) + 4;
    top = int32_t(std::min(a[1], b[1])) - reach;
    bottom = int32_t(std::max(a[1], b[1])) + reach;
}

void draw_segment(uint8_t colour, const float* a, const float* b) {
    if (R3d.deferring) {
        float (*ends)[3] = record(2, colour, true);
        copy_vertex(ends[0], a);
        copy_vertex(ends[1], b);
        R3dCommand& command = R3d.Commands[R3d.commandCount - 1];
        line_rows(a, b, command.lineWidth, command.top, command.bottom);
        r3d_parts_publish(R3d.commandCount);
        return;
    }
    r3d_line_rows(R3d.target, colour, R3d.lineWidth, a, b, 0, FrameHeight - 1);
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
        r3d_parts_publish(R3d.commandCount);
        return;
    }
    r3d_polygon_rows(R3d.target, screen, n, colour, 0, FrameHeight - 1);
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

}  // namespace

void r3d_part_clear(int32_t firstRow, int32_t lastRow) {
    if (R3d.clearFirst) {
        r3d_clear_rows(R3d.clearRecorded, firstRow, lastRow);
    }
}

void r3d_part_draw(int32_t firstCommand, int32_t endCommand, int32_t firstRow, int32_t lastRow) {
    uint8_t* const target = R3d.target;
    for (int32_t k = firstCommand; k < endCommand; k++) {
        const R3dCommand& command = R3d.Commands[k];
        const float (*vertices)[3] = R3d.CommandVertices + command.first;
        if (command.bottom < firstRow || command.top > lastRow) {
            continue;   // nothing of it in these rows
        }
        if (command.line) {
            r3d_line_rows(target, command.colour, command.lineWidth, vertices[0], vertices[1], firstRow, lastRow);
        } else {
            r3d_polygon_rows(target, vertices, command.count, command.colour, firstRow, lastRow);
        }
    }
}

void r3d_draw_line(uint8_t colour, float x0, float y0, float z0, float x1, float y1, float z1) {
    r3d_draw_recorded();
    const float a[3] = {x0, y0, z0};
    const float b[3] = {x1, y1, z1};
    r3d_line_rows(R3d.target, colour, R3d.lineWidth, a, b, 0, FrameHeight - 1);
}

void r3d_fill_polygon(const float (*screen)[3], int32_t n, uint8_t colour) {
    r3d_draw_recorded();
    r3d_polygon_rows(R3d.target, screen, n, colour, 0, FrameHeight - 1);
}

void r3d_record_clear() {
    r3d_draw_recorded();
    R3d.clearFirst = true;
    R3d.clearRecorded = R3d.clearIndex;
    r3d_parts_begin();
}

void r3d_draw_recorded() {
    if (record_empty()) {
        return;
    }
    r3d_parts_finish(R3d.commandCount);
    R3d.clearFirst = false;
    R3d.commandCount = 0;
    R3d.commandVertexCount = 0;
}

void r3d_clear_rows(uint8_t colour, int32_t firstRow, int32_t lastRow) {
    const size_t first = size_t(firstRow) * FrameWidth;
    const size_t count = size_t(lastRow - firstRow + 1) * FrameWidth;
    if (R3d.target != nullptr) {
        std::memset(R3d.target + first, colour, count);
    }
    std::fill_n(R3d.DepthBuffer + first, count, int16_t(INT16_MIN));
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

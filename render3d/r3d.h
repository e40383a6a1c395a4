// The software 3D pipeline: one global drawing context, immediate mode.
//
// State: R3d (matrices, current colour/normal, light, lighting flag, line
// width, target, clear colour, the vertex batch and the 16-bit depth buffer).
// Reset for tests by assigning a fresh R3dContext.
//
// Calling order within a frame: r3d_set_target, r3d_clear_color, r3d_clear,
// then matrix operations and batches. A batch is r3d_begin, any mix of
// r3d_color / r3d_normal / r3d_vertex, then r3d_end, which projects, lights
// and rasterizes it into the 640x480 8-bit target.
//
// Deferred frames: while R3D_DEFER is enabled, r3d_end records the lines and
// filled polygons it would draw instead of drawing them, and r3d_clear draws
// what was recorded and records the clear; r3d_disable(R3D_DEFER) (and
// r3d_set_target, before it acts) draws everything recorded, the top and
// bottom parts of the rows at the same time on two threads where the build
// has them (row_halves.h), the bottom part while the frame is still being
// recorded. Each pixel belongs to one part and its part draws the recorded
// primitives in order, so every depth test sees what it would have seen
// drawing immediately: the picture is the same pixel for pixel.
//
// Files: context.cpp (state, matrices, vertex submission), raster.cpp
// (r3d_end and the recording), raster.h (the rasterizers: line.cpp,
// polygon.cpp, spans.cpp), row_halves.h (the two-thread split), convert.h
// (the shared number rules).
#pragma once

#include <cstdint>

inline constexpr int R3D_LINES = 1;
inline constexpr int R3D_LINE_STRIP = 2;
inline constexpr int R3D_POLYGON = 3;
inline constexpr int R3D_LIGHTING = 1;
inline constexpr int R3D_DEFER = 2;   // record batches; drawn when disabled
inline constexpr int R3D_LIGHT_COLOR = 1;
// r3d_clear always clears both the colour and the depth buffer; callers say
// so with both bits. r3d_light has one light, whatever its number.
inline constexpr int R3D_COLOUR_BUFFER_BIT = 1;
inline constexpr int R3D_DEPTH_BUFFER_BIT = 2;
inline constexpr int R3D_SHOW_LIGHT = 4;   // the number the show gives its one light

// The 8-bit frame every program draws into: 640 x 480 bytes, 640 a row.
inline constexpr int32_t FrameWidth = 640;
inline constexpr int32_t FrameHeight = 480;
inline constexpr int32_t FramePixels = FrameWidth * FrameHeight;
inline constexpr int R3dMaxVertices = 2048;
// The record of a deferred frame. A show frame needs about 2600 commands and
// 6600 vertices; when either table would overflow, what is recorded so far is
// drawn first, which gives the same picture.
inline constexpr int32_t R3dMaxCommands = 4096;
inline constexpr int32_t R3dMaxCommandVertices = 16384;

// One recorded primitive: a line (two vertices, the line width it was drawn
// with) or a filled polygon, in screen x, screen y, camera z.
struct R3dCommand {
    int32_t first = 0;        // its first vertex in CommandVertices
    int32_t count = 0;        // its vertices: 2 for a line
    uint32_t lineWidth = 0;   // lines only
    int32_t top = 0;          // rows outside top ... bottom (unclipped) are
    int32_t bottom = 0;       // certainly not touched: a polygon's box, a line's band with a margin
    uint8_t colour = 0;
    bool line = false;
};

// The drawing context. Matrices are row-major (element (r, c) at 4r + c) and
// act on column vectors; both start all zero and mean something only after
// the first r3d_load_identity. Depth values: larger is nearer, -32768 is the
// cleared (farthest) value.
struct R3dContext {
    float PositionMatrix[16] = {};
    float NormalMatrix[16] = {};
    float colour[3] = {};           // each clamped to [0, 1]
    float normal[3] = {};           // as given, not normalised
    float lightColour[3] = {};      // as given, not clamped
    int lighting = 0;
    uint32_t vertexCount = 0;
    int mode = 0;
    uint32_t lineWidth = 1;
    uint8_t* target = nullptr;      // 640x480 bytes, row stride 640
    uint8_t clearIndex = 0;
    float VertexPositions[R3dMaxVertices][4] = {};   // camera space
    float VertexColors[R3dMaxVertices][3] = {};
    float VertexNormals[R3dMaxVertices][4] = {};     // written only while lit
    int16_t DepthBuffer[FramePixels] = {};  // index y*640 + x
    // Per-row edge crossings of the polygon being filled. The x tables are
    // reset for every polygon; a z entry is only read where its x was set.
    float RowLeftX[FrameHeight] = {};
    float RowRightX[FrameHeight] = {};
    float RowLeftZ[FrameHeight] = {};
    float RowRightZ[FrameHeight] = {};
    // The deferred frame (R3D_DEFER) recorded since it was last drawn: a
    // clear of colour clearRecorded first when clearFirst, then the commands.
    bool deferring = false;
    bool clearFirst = false;
    uint8_t clearRecorded = 0;
    int32_t commandCount = 0;
    int32_t commandVertexCount = 0;
    R3dCommand Commands[R3dMaxCommands] = {};
    float CommandVertices[R3dMaxCommandVertices][3] = {};
};
inline R3dContext R3d;   // the one context

void r3d_set_target(uint8_t* pixels);
void r3d_clear_color(float r, float g, float b, float a);
void r3d_clear(int mask);
void r3d_load_identity();
void r3d_translate(float x, float y, float z);
void r3d_rotate(float angle, float x, float y, float z);
void r3d_color(float r, float g, float b);
void r3d_normal(const float* n);
void r3d_enable(int capability);
void r3d_disable(int capability);
void r3d_light(int light, int parameter, const float* values);
void r3d_line_width(double width);
void r3d_begin(int mode);
void r3d_vertex(float x, float y, float z);
void r3d_end();

// The rasterizers r3d_end draws with (screen x, y; camera-space z). Both
// draw into R3d.target (nothing when it is unset) with a depth test against
// R3d.DepthBuffer. r3d_draw_line draws R3d.lineWidth pixels thick.
// r3d_fill_polygon takes projected vertices (screen x, screen y, camera z),
// all of them in front of the camera: r3d_end projects each vertex once and
// fills only when none is behind the near plane. Both draw immediately, after
// any deferred frame recorded so far.
void r3d_draw_line(uint8_t colour, float x0, float y0, float z0, float x1, float y1, float z1);
void r3d_fill_polygon(const float (*screen)[3], int32_t n, uint8_t colour);
// Draws the recorded deferred frame, if any, and empties the record; the
// recording itself goes on while R3D_DEFER is enabled.
void r3d_draw_recorded();
// The clear of rows firstRow ... lastRow: the target's pixels (when there is
// a target) to colour, the depth buffer's to -32768.
void r3d_clear_rows(uint8_t colour, int32_t firstRow, int32_t lastRow);
// r3d_clear while deferring: draws what is recorded, then records a clear
// to the current clear colour.
void r3d_record_clear();

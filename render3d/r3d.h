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
// Files: context.cpp (state, matrices, vertex submission), raster.cpp
// (r3d_end and the two rasterizers), convert.h (the shared number rules).
#pragma once

#include <cstdint>

inline constexpr int R3D_LINES = 1;
inline constexpr int R3D_LINE_STRIP = 2;
inline constexpr int R3D_POLYGON = 3;
inline constexpr int R3D_LIGHTING = 1;
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
// fills only when none is behind the near plane.
void r3d_draw_line(uint8_t colour, float x0, float y0, float z0, float x1, float y1, float z1);
void r3d_fill_polygon(const float (*screen)[3], int32_t n, uint8_t colour);

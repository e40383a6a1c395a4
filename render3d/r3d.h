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
#pragma once

#include <cstdint>

inline constexpr int R3D_LINES = 1;
inline constexpr int R3D_LINE_STRIP = 2;
inline constexpr int R3D_POLYGON = 3;
inline constexpr int R3D_LIGHTING = 1;
inline constexpr int R3D_LIGHT_COLOR = 1;

inline constexpr int R3dWidth = 640;
inline constexpr int R3dHeight = 480;
inline constexpr int R3dMaxVertices = 2048;

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

// The rasterizers r3d_end draws with (screen x, y; camera-space z).
void r3d_draw_line(uint8_t colour, float x0, float y0, float z0, float x1, float y1, float z1);
void r3d_fill_polygon(const float (*vertices)[4], int32_t n, uint8_t colour);

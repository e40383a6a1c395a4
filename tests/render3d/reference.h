// A literal, unoptimised rendition of the back end of the pipeline: every row
// of the edge tables reset, every row above the screen stepped through, every
// span pixel and line column visited from the first one, plain int casts.
// The library's rasterizers skip work only where the result cannot change;
// the tests check them against this pixel for pixel and depth for depth.
// Inputs must keep every integer conversion within int range.
#pragma once

#include <cstdint>

struct RefCanvas {
    uint8_t pixels[640 * 480] = {};
    int16_t depth[640 * 480] = {};
    float rowLeftX[480] = {};
    float rowRightX[480] = {};
    float rowLeftZ[480] = {};
    float rowRightZ[480] = {};
};

// Starts the canvas from the library's current target and depth buffer.
void ref_copy_from_context(RefCanvas& canvas);

void ref_draw_line(RefCanvas& canvas, uint32_t width, uint8_t colour,
                   float x0, float y0, float z0, float x1, float y1, float z1);
// Screen-space fill: sx, sy, z per vertex.
void ref_fill_screen(RefCanvas& canvas, const float (*screen)[3], int n, uint8_t colour);
// The whole of r3d_end on the context's current batch and light state,
// drawing into the canvas instead of the target. Does not touch the context.
void ref_end(RefCanvas& canvas);

// The ribbon: a Kochanek-Bartels spine morphed between two fixed seven-point
// splines, swelling in width along its length, wobbling with the music, drawn
// as 63 lit quads.
//
// Owns Ribbon (RibbonState): the position of the current call among the
// twelve of a drawn frame, and the geometry built on the first of them
// (spine points, one normal and one pair of scaled spine ends per quad).
// Interface: ribbon_draw, called exactly RibbonCopies times per drawn frame by
// show_frame, each under its own rotation; kb_spline_point, which reads the
// spline's tension, continuity and bias from ShowParams p1 ... p3 at the time
// of the call. Reset by assigning a fresh RibbonState.
#pragma once

#include <cstdint>

inline constexpr int32_t RibbonCopies = 12;
inline constexpr int32_t RibbonSplinePoints = 7;
inline constexpr int32_t RibbonSegmentSteps = 16;
inline constexpr int32_t RibbonMaxPoints = 64;   // 4 segments of 16 steps
inline constexpr int32_t RibbonMaxQuads = RibbonMaxPoints - 1;

// Control points (x, y); the ribbon runs from point 1 to just short of point 5.
inline constexpr float SplineA[RibbonSplinePoints][2] = {
    {0, 0.5f}, {0, 0}, {0.1f, -0.2f}, {0.3f, -0.3f}, {0.5f, -0.3f}, {0.6f, -0.2f}, {0.6f, -0.5f},
};
inline constexpr float SplineB[RibbonSplinePoints][2] = {
    {0, 0.5f}, {0, 0}, {0.2f, -0.2f}, {0.3f, -0.15f}, {0.2f, 0}, {0.1f, 0}, {0, 0.1f},
};

struct RibbonState {
    int32_t counter = 0;                  // call within the frame; 0 rebuilds
    int32_t count = 0;                    // spine points built (64 after a build)
    float points[RibbonMaxPoints][3] = {};
    float normals[RibbonMaxQuads][3] = {};
    float quads[RibbonMaxQuads][6] = {};  // x0, y0, z0, x1, y1, z1 of each quad's spine ends
};
inline RibbonState Ribbon;

inline int32_t& RibbonCounter = Ribbon.counter;
inline float (&RibbonPoints)[RibbonMaxPoints][3] = Ribbon.points;
inline float (&RibbonNormals)[RibbonMaxQuads][3] = Ribbon.normals;
inline float (&RibbonQuads)[RibbonMaxQuads][6] = Ribbon.quads;

// The point at parameter t in [0, 1) on the segment from points[1] to
// points[2], with points[0] and points[3] shaping the tangents.
void kb_spline_point(const float (*points)[2], float out[2], float t);

// Draws the ribbon with morph m (0: SplineA, 1: SplineB) under the current
// matrices, rebuilding the geometry first when this is the first of the
// twelve calls of a drawn frame.
void ribbon_draw(float m);

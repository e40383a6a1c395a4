// ribbon_draw and kb_spline_point: the ribbon's geometry build and its draw.
#include "show/ribbon.h"

#include "render3d/r3d.h"
#include "show/levels.h"
#include "show/timeline.h"

#include <cmath>

namespace {

constexpr double ZPhaseStep = 0.04908738521234052;   // pi / 64: z swells 0 -> 0.07 -> 0

void build_spine(float m)
{
    int32_t n = 0;
    for (int32_t segment = 0; segment + 3 < RibbonSplinePoints; ++segment) {
        for (int32_t step = 0; step < RibbonSegmentSteps; ++step) {
            float t = float(step) * 0.0625f;
            float a[2], b[2];
            kb_spline_point(SplineA + segment, a, t);
            kb_spline_point(SplineB + segment, b, t);
            // m * b in single precision, the rest of the blend in double.
            RibbonPoints[n][0] = float((1.0 - double(m)) * double(a[0]) + double(m * b[0]));
            RibbonPoints[n][1] = float((1.0 - double(m)) * double(a[1]) + double(m * b[1]));
            RibbonPoints[n][2] = float(std::sin(n * ZPhaseStep) * 0.07);
            ++n;
        }
    }
    Ribbon.count = n;
}

// Normals, audio wobble and the quads' spine ends, in increasing i. Quad i's
// normal comes from points i and i + 1 as built: point i + 1 only wobbles on
// the next pass. The first end of quad i is point i after its wobble, the
// second end point i + 1 before its own; the last point never wobbles.
void build_quads()
{
    double level = AudioLevel;
    double timeMs = ShowTimeMs;
    for (int32_t i = 0; i + 1 < Ribbon.count; ++i) {
        float* p = RibbonPoints[i];
        const float* next = RibbonPoints[i + 1];
        float e[3] = {next[2] - p[2], -(next[0] - p[0]), next[1] - p[1]};
        float len = float(std::sqrt(double(e[0] * e[0] + e[1] * e[1] + e[2] * e[2])));
        for (int c = 0; c < 3; ++c)
            RibbonNormals[i][c] = e[c] / len;

        // The wobble grows along the spine (1 + 0.6 i and i + 1).
        double s1 = std::sin(i * 0.5 + timeMs * 0.006);
        p[1] = float(double(p[1]) + s1 * level * 0.006 * (1 + 0.6 * i));
        double s2 = std::sin(i * 0.05 + timeMs * 0.002);
        float z = float(double(p[2]) + s2 * level * 0.001 * (i + 1));

        float* quad = RibbonQuads[i];
        quad[0] = p[0];
        quad[1] = float(1.1 * double(p[1]));
        quad[2] = z;
        quad[3] = next[0];
        quad[4] = float(1.1 * double(next[1]));
        quad[5] = next[2];
        p[2] = z;
    }
}

} // namespace

void kb_spline_point(const float (*points)[2], float out[2], float t)
{
    const float tension = ShowParams[ParamTension];
    const float continuity = ShowParams[ParamContinuity];
    const float bias = ShowParams[ParamBias];
    float t2 = t * t;
    float t3 = t2 * t;
    float h00 = 2.0f * t3 - 3.0f * t2 + 1.0f;
    float h10 = t3 - 2.0f * t2 + t;
    float h01 = -2.0f * t3 + 3.0f * t2;
    float h11 = t3 - t2;
    // The parameters are used unbounded: tension near 5 makes the spine loop.
    // Both factors of the tangent scale, 1 - T included, are in double: a
    // single-precision 1 - T rounds away low bits of T below 0.5.
    double scale = (1.0 - double(tension)) * 0.5;
    for (int c = 0; c < 2; ++c) {
        float p0 = points[0][c], p1 = points[1][c], p2 = points[2][c], p3 = points[3][c];
        float leaving = (1.0f + bias) * (1.0f - continuity) * (p1 - p0)
                      + (1.0f - bias) * (1.0f + continuity) * (p2 - p1);
        float arriving = (1.0f + bias) * (1.0f + continuity) * (p2 - p1)
                       + (1.0f - bias) * (1.0f - continuity) * (p3 - p2);
        float ends = h00 * p1 + h01 * p2;
        // Tangent terms in double, added one after the other, rounded once.
        double sum = double(ends) + double(h10) * (scale * double(leaving));
        sum = sum + double(h11) * (scale * double(arriving));
        out[c] = float(sum);
    }
}

void ribbon_draw(float m)
{
    if (RibbonCounter == 0) {
        build_spine(m);
        build_quads();
    }

    r3d_enable(R3D_LIGHTING);   // left on: the next frame's cross turns it off
    double brightness = ShowParams[ParamBrightness];
    r3d_color(float(brightness * 0.82), float(brightness * 0.87), float(brightness * 0.95));
    for (int32_t i = 0; i + 1 < Ribbon.count; ++i) {
        const float* q = RibbonQuads[i];
        // The spine lies in the object's x-z plane; each quad spans -z ... +z.
        r3d_normal(RibbonNormals[i]);
        r3d_begin(R3D_POLYGON);
        r3d_vertex(q[0], -q[2], q[1]);
        r3d_vertex(q[3], -q[5], q[4]);
        r3d_vertex(q[3], q[5], q[4]);
        r3d_vertex(q[0], q[2], q[1]);
        r3d_end();
    }
    RibbonCounter = (RibbonCounter + 1) % RibbonCopies;
}

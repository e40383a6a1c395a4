#include "tests/show/show_fixture.h"

#include "render3d/r3d.h"

#include <cmath>
#include <cstring>

namespace {

using SplinePoint = ShowTest;

TEST_F(SplinePoint, StartsExactlyOnTheSecondControlPoint)
{
    const float params[][3] = {{0, 0, 0}, {4.96f, 3.98f, 0}, {-1, -4.4f, 1.4f}, {0.3f, 0.7f, -0.2f}};
    for (const auto& tcb : params) {
        std::memcpy(ShowParams, tcb, sizeof tcb);
        float out[2];
        kb_spline_point(SplineA + 1, out, 0.0f);
        EXPECT_EQ(out[0], SplineA[2][0]);
        EXPECT_EQ(out[1], SplineA[2][1]);
    }
}

TEST_F(SplinePoint, ZeroParametersGiveTheCatmullRomCurve)
{
    // Catmull-Rom midpoint: (-P0 + 9 P1 + 9 P2 - P3) / 16.
    float out[2];
    kb_spline_point(SplineA + 2, out, 0.5f);
    for (int c = 0; c < 2; ++c) {
        double expected = (-SplineA[2][c] + 9.0 * SplineA[3][c] + 9.0 * SplineA[4][c] - SplineA[5][c]) / 16;
        EXPECT_NEAR(out[c], expected, 1e-7);
    }
}

TEST_F(SplinePoint, TensionOneRemovesTheTangents)
{
    ShowParams[0] = 1.0f;
    ShowParams[1] = 2.5f;    // continuity and bias no longer matter
    ShowParams[2] = -3.0f;
    float out[2];
    kb_spline_point(SplineB + 1, out, 0.5f);   // Hermite ease only: the midpoint
    EXPECT_FLOAT_EQ(out[0], 0.5f * (SplineB[2][0] + SplineB[3][0]));
    EXPECT_FLOAT_EQ(out[1], 0.5f * (SplineB[2][1] + SplineB[3][1]));
}

// The formula written out term by term: Hermite weights, bracketed sums and
// h00 P1 + h01 P2 in single precision; 1 - T, the factor 0.5, the tangent
// products and their addition in double, rounded once.
float literal_spline(const float (*p)[2], int c, float t, float T, float C, float B)
{
    float t2 = t * t;
    float t3 = t2 * t;
    float h00 = 2.0f * t3 - 3.0f * t2 + 1.0f;
    float h10 = t3 - 2.0f * t2 + t;
    float h01 = -2.0f * t3 + 3.0f * t2;
    float h11 = t3 - t2;
    float leaving = (1.0f + B) * (1.0f - C) * (p[1][c] - p[0][c]) + (1.0f - B) * (1.0f + C) * (p[2][c] - p[1][c]);
    float arriving = (1.0f + B) * (1.0f + C) * (p[2][c] - p[1][c]) + (1.0f - B) * (1.0f - C) * (p[3][c] - p[2][c]);
    double d1 = (1.0 - double(T)) * 0.5 * double(leaving);
    double d2 = (1.0 - double(T)) * 0.5 * double(arriving);
    float ends = h00 * p[1][c] + h01 * p[2][c];
    return float(double(ends) + double(h10) * d1 + double(h11) * d2);
}

TEST_F(SplinePoint, TensionFactorIsFormedInDoublePrecision)
{
    // With T = 0.1488 the single-precision 1 - T (0.851199985) differs from
    // the double one (0.8511999994...), and the point at t = 3/16 on the
    // first segment of SplineA differs in its last bit of y.
    ShowParams[0] = 0.1488f;
    ShowParams[1] = 0.5f;
    ShowParams[2] = 0.2f;
    float out[2];
    kb_spline_point(SplineA, out, 3 * 0.0625f);
    EXPECT_EQ(out[1], literal_spline(SplineA, 1, 3 * 0.0625f, 0.1488f, 0.5f, 0.2f));
    EXPECT_EQ(out[1], -0.0420416743f);

    // Bit for bit over every point the ribbon asks for, at parameter sets
    // from the keyframe glide.
    const float params[][3] = {{0.1488f, 0.5f, 0.2f}, {-0.4f, 3.98f, 1.99f}, {0.98f, -1.99f, 0.0f},
                               {4.96f, -4.375f, 0.6f}, {0.123456f, 0.75f, -0.3f}};
    for (const auto& tcb : params) {
        std::memcpy(ShowParams, tcb, sizeof tcb);
        for (int segment = 0; segment < 4; ++segment)
            for (int j = 0; j < 16; ++j)
                for (const auto* spline : {SplineA, SplineB}) {
                    kb_spline_point(spline + segment, out, float(j) * 0.0625f);
                    for (int c = 0; c < 2; ++c)
                        EXPECT_EQ(out[c], literal_spline(spline + segment, c, float(j) * 0.0625f, tcb[0], tcb[1],
                                                         tcb[2]))
                            << "T " << tcb[0] << " segment " << segment << " step " << j << " component " << c;
                }
    }
}

using RibbonBuild = ShowTest;

void draw_once(float m)
{
    Ribbon.counter = 0;
    ribbon_draw(m);
}

TEST_F(RibbonBuild, SpineRunsFromTheOriginThroughTheMorphedPoints)
{
    for (float m : {0.0f, 1.0f}) {
        draw_once(m);
        EXPECT_EQ(Ribbon.count, 64);
        EXPECT_EQ(RibbonPoints[0][0], 0.0f);
        EXPECT_EQ(RibbonPoints[0][1], 0.0f);
        EXPECT_EQ(RibbonPoints[0][2], 0.0f);
        EXPECT_EQ(RibbonPoints[16][0], m == 0 ? 0.1f : 0.2f);
        EXPECT_EQ(RibbonPoints[16][1], -0.2f);
    }
}

TEST_F(RibbonBuild, WidthSwellsToTheMiddleAndBack)
{
    draw_once(0.5f);
    EXPECT_FLOAT_EQ(RibbonPoints[32][2], 0.07f);
    EXPECT_FLOAT_EQ(RibbonPoints[16][2], float(0.07 * std::sqrt(0.5)));
    EXPECT_NEAR(RibbonPoints[63][2], 0.07 * std::sin(63 * 3.14159265358979 / 64), 1e-7);
}

TEST_F(RibbonBuild, WithoutLevelQuadsAreTheScaledSpineAtAnyTime)
{
    ShowParams[0] = 0.3f;
    ShowParams[1] = -0.4f;
    ShowTimeMs = 1234;
    draw_once(0.3f);
    RibbonState first = Ribbon;
    ShowTimeMs = 98765;
    draw_once(0.3f);
    EXPECT_EQ(std::memcmp(first.quads, RibbonQuads, sizeof RibbonQuads), 0);
    for (int i = 0; i < 63; ++i) {
        const float* q = RibbonQuads[i];
        EXPECT_EQ(q[0], RibbonPoints[i][0]);
        EXPECT_EQ(q[1], float(1.1 * RibbonPoints[i][1]));
        EXPECT_EQ(q[2], RibbonPoints[i][2]);
        EXPECT_EQ(q[3], RibbonPoints[i + 1][0]);
        EXPECT_EQ(q[4], float(1.1 * RibbonPoints[i + 1][1]));
        EXPECT_EQ(q[5], RibbonPoints[i + 1][2]);
    }
}

TEST_F(RibbonBuild, NormalsAreUnitLengthAndTurnedFromTheSpine)
{
    draw_once(0.0f);
    for (int i = 0; i < 63; ++i) {
        const float* n = RibbonNormals[i];
        EXPECT_NEAR(n[0] * n[0] + n[1] * n[1] + n[2] * n[2], 1.0, 1e-6) << i;
        // (dz, -dx, dy) of the spine step, normalised: same direction.
        float d[3];
        for (int c = 0; c < 3; ++c)
            d[c] = RibbonPoints[i + 1][c] - RibbonPoints[i][c];
        float e[3] = {d[2], -d[0], d[1]};
        EXPECT_GT(e[0] * n[0] + e[1] * n[1] + e[2] * n[2], 0.0f) << i;
    }
}

TEST_F(RibbonBuild, LevelWobblesEachPointOnceGrowingAlongTheSpine)
{
    ShowTimeMs = 500;
    draw_once(0.2f);
    RibbonState still = Ribbon;
    AudioLevel = 0.8f;
    draw_once(0.2f);
    for (int i = 0; i < 63; ++i) {
        // The first end is point i after its wobble, the second end point
        // i + 1 before its own: the same as without level.
        EXPECT_EQ(RibbonQuads[i][0], still.quads[i][0]);
        EXPECT_EQ(RibbonQuads[i][3], still.quads[i][3]);
        EXPECT_EQ(RibbonQuads[i][4], still.quads[i][4]);
        EXPECT_EQ(RibbonQuads[i][5], still.quads[i][5]);
        double dy = RibbonPoints[i][1] - still.points[i][1];
        double s1 = std::sin(i * 0.5 + 500 * 0.006);
        EXPECT_NEAR(dy, s1 * 0.8 * 0.006 * (1 + 0.6 * i), 1e-6) << i;
        double dz = RibbonPoints[i][2] - still.points[i][2];
        EXPECT_NEAR(dz, std::sin(i * 0.05 + 500 * 0.002) * 0.8 * 0.001 * (i + 1), 1e-6) << i;
    }
    // The last point never wobbles, and normals come from the unwobbled spine.
    EXPECT_EQ(std::memcmp(RibbonPoints[63], still.points[63], sizeof RibbonPoints[63]), 0);
    EXPECT_EQ(std::memcmp(RibbonNormals, still.normals, sizeof RibbonNormals), 0);
}

using RibbonDraw = ShowTest;

TEST_F(RibbonDraw, SixtyThreeLitQuadsAcrossTheSpine)
{
    ShowParams[3] = 1.0f;
    draw_once(0.5f);
    ASSERT_EQ(Fake.batches.size(), 63u);
    EXPECT_TRUE(Fake.lighting);
    EXPECT_FLOAT_EQ(Fake.colour[0], 0.82f);
    EXPECT_FLOAT_EQ(Fake.colour[1], 0.87f);
    EXPECT_FLOAT_EQ(Fake.colour[2], 0.95f);
    for (int i = 0; i < 63; ++i) {
        const FakeBatch& b = Fake.batches[i];
        const float* q = RibbonQuads[i];
        EXPECT_EQ(b.mode, R3D_POLYGON);
        EXPECT_EQ(std::memcmp(b.normal, RibbonNormals[i], sizeof b.normal), 0);
        ASSERT_EQ(b.vertices.size(), 4u);
        const float expected[4][3] = {
            {q[0], -q[2], q[1]}, {q[3], -q[5], q[4]}, {q[3], q[5], q[4]}, {q[0], q[2], q[1]}};
        for (int v = 0; v < 4; ++v) {
            EXPECT_EQ(b.vertices[v].x, expected[v][0]);
            EXPECT_EQ(b.vertices[v].y, expected[v][1]);
            EXPECT_EQ(b.vertices[v].z, expected[v][2]);
        }
    }
}

TEST_F(RibbonDraw, TwelveCallsShareOneBuild)
{
    ShowTimeMs = 700;
    AudioLevel = 0.5f;
    ribbon_draw(0.25f);
    std::vector<FakeBatch> first = Fake.batches;
    // Changes between the calls of one frame must not reach the geometry.
    AudioLevel = 0.9f;
    ShowParams[0] = 3.0f;
    ShowTimeMs = 900;
    for (int call = 2; call <= 12; ++call) {
        Fake.batches.clear();
        ribbon_draw(0.75f);
        ASSERT_EQ(Fake.batches.size(), first.size());
        for (size_t b = 0; b < first.size(); ++b)
            for (int v = 0; v < 4; ++v) {
                EXPECT_EQ(Fake.batches[b].vertices[v].x, first[b].vertices[v].x);
                EXPECT_EQ(Fake.batches[b].vertices[v].y, first[b].vertices[v].y);
                EXPECT_EQ(Fake.batches[b].vertices[v].z, first[b].vertices[v].z);
            }
    }
    EXPECT_EQ(RibbonCounter, 0);
    // The thirteenth call starts the next frame and rebuilds.
    Fake.batches.clear();
    ribbon_draw(0.75f);
    EXPECT_NE(Fake.batches[10].vertices[0].x, first[10].vertices[0].x);
    EXPECT_EQ(RibbonCounter, 1);
}

} // namespace

// r3d_end and the rasterizers: projection, flat colour and lighting, the
// near plane, polygon fill rules, line bands and the two depth tests.
#include "tests/render3d/fixture.h"

#include <algorithm>
#include <cmath>

namespace {

void quad(float x0, float y0, float x1, float y1, float z) {
    r3d_begin(R3D_POLYGON);
    r3d_vertex(x0, y0, z);
    r3d_vertex(x1, y0, z);
    r3d_vertex(x1, y1, z);
    r3d_vertex(x0, y1, z);
    r3d_end();
}

void screen_quad(float x0, float y0, float x1, float y1, float z, uint8_t colour) {
    const float corners[4][3] = {{x0, y0, z}, {x1, y0, z}, {x1, y1, z}, {x0, y1, z}};
    r3d_fill_polygon(corners, 4, colour);
}

}  // namespace

using PolygonFill = Render3d;
using LineDrawing = Render3d;
using BatchWalk = Render3d;
using FlatColour = Render3d;

TEST_F(PolygonFill, UnitQuadFillsItsProjectionWithOutlinesOnTop) {
    r3d_color(0.5f, 0.5f, 0.5f);
    quad(-0.5f, -0.5f, 0.5f, 0.5f, -1.0f);
    for (int y = 78; y <= 402; y++) {
        for (int x = 158; x <= 482; x++) {
            const bool outline = (y == 80 || y == 400) && x >= 160 && x <= 480;
            const bool fill = y >= 80 && y <= 400 && x >= 160 && x <= 479;
            const uint8_t expected = outline ? 0 : fill ? 127 : 0;
            const int16_t expectedDepth = outline ? -2027 : fill ? -2048 : INT16_MIN;
            ASSERT_EQ(pixel(x, y), expected) << x << "," << y;
            ASSERT_EQ(depth(x, y), expectedDepth) << x << "," << y;
        }
    }
    EXPECT_EQ(drawn(), 320 * 319);   // 321 filled rows less the two outline rows
}

TEST_F(PolygonFill, SpanExcludesItsRightEnd) {
    screen_quad(10.2f, 50.0f, 20.4f, 52.0f, -1.0f, 9);
    for (int x = 8; x <= 22; x++) {
        EXPECT_EQ(pixel(x, 51), x >= 10 && x <= 19 ? 9 : 0) << x;
    }
    EXPECT_EQ(drawn(), 3 * 10);
}

TEST_F(PolygonFill, QuadWithAVertexOnTheCameraIsOnlyOutlined) {
    r3d_begin(R3D_POLYGON);
    r3d_vertex(-0.5f, -0.5f, 0.0f);
    r3d_vertex(0.5f, -0.5f, -1.0f);
    r3d_vertex(0.5f, 0.5f, -1.0f);
    r3d_vertex(-0.5f, 0.5f, -1.0f);
    r3d_end();
    // Edge 2-3 (row 80) is drawn; edge 0-1 has an end behind the near plane.
    EXPECT_EQ(drawn(), 0);   // outlines are colour 0: look at depth
    EXPECT_EQ(depth_written(), 321);
    EXPECT_EQ(depth(300, 80), -2027);
}

TEST_F(PolygonFill, OffScreenBoxesLeaveDepthUntouched) {
    screen_quad(-50.0f, 10.0f, 0.6f, 100.0f, -1.0f, 9);    // reaches column 0
    EXPECT_GT(depth_written(), 0);
    r3d_clear(3);
    screen_quad(-50.0f, 10.0f, -1.5f, 100.0f, -1.0f, 9);   // maxX < 0
    screen_quad(10.0f, 480.0f, 100.0f, 600.0f, -1.0f, 9);  // minY > 479
    screen_quad(640.0f, 10.0f, 700.0f, 100.0f, -1.0f, 9);  // minX > 639
    screen_quad(10.0f, -90.0f, 100.0f, -1.0f, -1.0f, 9);   // maxY < 0
    EXPECT_EQ(depth_written(), 0);
}

TEST_F(PolygonFill, LaterPolygonWinsADepthTie) {
    screen_quad(10.0f, 10.0f, 30.0f, 30.0f, -1.0f, 5);
    screen_quad(20.0f, 20.0f, 40.0f, 40.0f, -1.0f, 6);
    EXPECT_EQ(pixel(25, 25), 6);
    screen_quad(10.0f, 10.0f, 30.0f, 30.0f, -1.001f, 7);   // farther: hidden
    EXPECT_EQ(pixel(25, 25), 6);
    EXPECT_EQ(pixel(12, 12), 5);
}

TEST_F(PolygonFill, ClearedDepthAcceptsTheFarthestValue) {
    screen_quad(10.0f, 10.0f, 30.0f, 30.0f, -16.0f, 5);
    EXPECT_EQ(depth(20, 20), INT16_MIN);
    EXPECT_EQ(pixel(20, 20), 5);
}

TEST_F(PolygonFill, DepthWrapsBeyondSixteenUnits) {
    screen_quad(10.0f, 10.0f, 30.0f, 30.0f, -1.0f, 5);
    // trunc(-17 * 2048) = -34816 wraps to +30720: "nearer" than z = -1.
    screen_quad(10.0f, 10.0f, 30.0f, 30.0f, -17.0f, 6);
    EXPECT_EQ(pixel(20, 20), 6);
    EXPECT_EQ(depth(20, 20), 30720);
}

TEST_F(PolygonFill, DepthIsInterpolatedFromTheLeftCrossing) {
    const float corners[4][3] = {{100.0f, 10.0f, -1.0f}, {200.0f, 10.0f, -2.0f},
                                 {200.0f, 20.0f, -2.0f}, {100.0f, 20.0f, -1.0f}};
    r3d_fill_polygon(corners, 4, 9);
    // Each row: depth -2048 at x = 100, stepping trunc(-0.01 * 2048) = -20.
    EXPECT_EQ(depth(100, 15), -2048);
    EXPECT_EQ(depth(101, 15), -2068);
    EXPECT_EQ(depth(199, 15), -2048 - 99 * 20);
}

TEST_F(LineDrawing, LineBeatsPolygonAtTheSameDepthButNotAnotherLine) {
    screen_quad(10.0f, 10.0f, 30.0f, 30.0f, -1.0f, 5);
    r3d_draw_line(7, 5.0f, 20.0f, -1.0f, 35.0f, 20.0f, -1.0f);
    EXPECT_EQ(pixel(20, 20), 7);
    r3d_draw_line(8, 5.0f, 20.0f, -1.0f, 35.0f, 20.0f, -1.0f);
    EXPECT_EQ(pixel(20, 20), 7);
    EXPECT_EQ(depth(20, 20), -2027);
}

TEST_F(LineDrawing, BandWidthsAroundTheCentre) {
    for (uint32_t width : {0u, 1u, 2u, 3u}) {
        r3d_clear(3);
        R3d.lineWidth = width;
        r3d_draw_line(9, 10.0f, 100.0f, -1.0f, 50.0f, 100.0f, -1.0f);   // x-major, centre row 100
        r3d_draw_line(9, 300.0f, 10.0f, -1.0f, 300.0f, 50.0f, -1.0f);   // y-major, centre column 300
        for (int k = -2; k <= 2; k++) {
            const int half = int(width / 2);
            const bool inBand = k >= -half && k < int(width) - half;
            EXPECT_EQ(pixel(30, 100 + k), inBand ? 9 : 0) << "width " << width << " row offset " << k;
            EXPECT_EQ(pixel(300 + k, 30), inBand ? 9 : 0) << "width " << width << " column offset " << k;
        }
    }
}

TEST_F(LineDrawing, EndsRoundToTheNearestColumn) {
    r3d_draw_line(9, 10.6f, 5.0f, -1.0f, 20.4f, 6.0f, -1.0f);
    for (int x = 9; x <= 22; x++) {
        EXPECT_EQ(pixel(x, 5) + pixel(x, 6), x >= 11 && x <= 20 ? 9 : 0) << x;
    }
}

TEST_F(LineDrawing, CentreRowRoundsTowardMinusInfinity) {
    // y starts at -0.75: fixed point -0.25, whose row is -1, not 0.
    r3d_draw_line(9, 10.0f, -0.75f, -1.0f, 100.0f, 0.5f, -1.0f);
    EXPECT_EQ(pixel(10, 0), 0);
    EXPECT_EQ(pixel(100, 0), 9);
}

TEST_F(LineDrawing, DegenerateAndOffScreenLinesDrawNothing) {
    r3d_draw_line(9, 100.4f, 50.0f, -1.0f, 100.4f, 50.0f, -1.0f);
    r3d_draw_line(9, -5.0f, 10.0f, -1.0f, -1.0f, 200.0f, -1.0f);
    r3d_draw_line(9, 10.0f, 480.0f, -1.0f, 200.0f, 500.0f, -1.0f);
    EXPECT_EQ(depth_written(), 0);
}

TEST_F(LineDrawing, LinesBeyondSixteenUnitsNeverShow) {
    // Line depth is compared as a full integer: -34795 is below every
    // 16-bit value, even the cleared one.
    r3d_draw_line(9, 10.0f, 10.0f, -17.0f, 100.0f, 20.0f, -17.0f);
    EXPECT_EQ(depth_written(), 0);
}

TEST_F(LineDrawing, DepthStepsAlongTheMajorAxis) {
    r3d_draw_line(9, 0.0f, 10.0f, -1.0f, 100.0f, 10.0f, -2.0f);
    EXPECT_EQ(depth(0, 10), -2027);
    EXPECT_EQ(depth(1, 10), -2027 - 20);
    EXPECT_EQ(depth(100, 10), -2027 - 100 * 20);
}

TEST_F(BatchWalk, NearPlaneIsComparedInDouble) {
    // -0.01f is slightly above -0.01 in double: behind the near plane.
    r3d_begin(R3D_LINES);
    r3d_vertex(0.0f, 0.0f, -0.01f);
    r3d_vertex(0.001f, 0.001f, -1.0f);
    r3d_end();
    EXPECT_EQ(depth_written(), 0);
    r3d_begin(R3D_LINES);
    r3d_vertex(0.0f, 0.0f, std::nextafter(-0.01f, -1.0f));
    r3d_vertex(0.001f, 0.001f, -1.0f);
    r3d_end();
    EXPECT_GT(depth_written(), 0);
}

TEST_F(BatchWalk, HiddenVertexTakesItsLinesPartnerAlong) {
    r3d_color(1.0f, 1.0f, 1.0f);
    r3d_begin(R3D_LINES);
    r3d_vertex(-0.5f, 0.1f, 1.0f);   // behind: segment 0-1 dropped
    r3d_vertex(0.5f, 0.1f, -1.0f);
    r3d_vertex(-0.5f, 0.2f, -1.0f);
    r3d_vertex(0.5f, 0.2f, -1.0f);
    r3d_vertex(0.0f, 0.3f, -1.0f);   // unpaired
    r3d_end();
    EXPECT_EQ(pixel(320, 208), 0);
    EXPECT_EQ(pixel(320, 176), 255);
    EXPECT_EQ(drawn(), 321);
}

TEST_F(BatchWalk, StripSkipsPastAHiddenVertex) {
    r3d_begin(R3D_LINE_STRIP);
    const float xs[5] = {-0.5f, -0.25f, 0.0f, 0.25f, 0.5f};
    for (int i = 0; i < 5; i++) {
        r3d_color(0.2f * float(i + 1), 0.0f, 0.0f);
        r3d_vertex(xs[i], 0.0f, i == 2 ? 0.5f : -1.0f);
    }
    r3d_end();
    // Segments 0-1 and 3-4 only, each in its first vertex's colour.
    EXPECT_EQ(pixel(200, 240), 17);
    EXPECT_EQ(pixel(300, 240), 0);
    EXPECT_EQ(pixel(360, 240), 0);
    EXPECT_EQ(pixel(440, 240), 68);
}

TEST_F(BatchWalk, UnknownModeDrawsNothing) {
    r3d_color(1.0f, 1.0f, 1.0f);
    r3d_begin(7);
    r3d_vertex(-0.5f, 0.0f, -1.0f);
    r3d_vertex(0.5f, 0.0f, -1.0f);
    r3d_vertex(0.5f, 0.5f, -1.0f);
    r3d_end();
    EXPECT_EQ(depth_written(), 0);
    EXPECT_EQ(R3d.vertexCount, 0u);
}

TEST_F(FlatColour, LightingFormulaAndIndexRule) {
    struct Case { float base; float light; float normalZ; uint8_t index; };
    const Case cases[] = {
        {0.5f, 0.0f, 1.0f, 153},    // 0.6 per channel
        {0.5f, 0.0f, 0.0f, 0},      // no light along +z, no light colour
        {0.5f, 0.0f, -1.0f, 0},
        {0.5f, 0.4f, 1.0f, 204},    // 0.2 + 0.6
        {1.0f, 0.4f, 1.0f, 255},    // each channel capped at 1
        {1.0f, -0.2f, 0.0f, 205},   // no lower limit: -51 in 8 bits
    };
    r3d_enable(R3D_LIGHTING);
    for (const Case& c : cases) {
        r3d_clear(3);
        const float light[3] = {c.light, c.light, c.light};
        r3d_light(1, R3D_LIGHT_COLOR, light);
        const float normal[3] = {0.0f, 0.0f, c.normalZ};
        r3d_normal(normal);
        r3d_color(c.base, c.base, c.base);
        quad(-0.1f, -0.1f, 0.1f, 0.1f, -1.0f);
        EXPECT_EQ(pixel(320, 240), c.index) << c.base << " " << c.light << " " << c.normalZ;
    }
    r3d_disable(R3D_LIGHTING);
    r3d_color(1.0f, 1.0f, 1.0f);
    quad(-0.1f, -0.1f, 0.1f, 0.1f, -1.0f);
    EXPECT_EQ(pixel(320, 240), 255);
}

// d = 1.2 * normal z is formed in double and rounded once: with this base
// and normal the single-precision product 1.2f * z would give index 114.
TEST_F(FlatColour, LightStrengthIsFormedInDouble) {
    r3d_enable(R3D_LIGHTING);
    const float light[3] = {0.4f, 0.4f, 0.4f};
    r3d_light(1, R3D_LIGHT_COLOR, light);
    const float normal[3] = {0.0f, 0.0f, 0.375366122f};
    r3d_normal(normal);
    r3d_color(0.525679827f, 0.525679827f, 0.525679827f);
    quad(-0.1f, -0.1f, 0.1f, 0.1f, -1.0f);
    EXPECT_EQ(pixel(320, 240), 113);
}

TEST_F(FlatColour, PolygonTakesTheFirstVertexInFront) {
    r3d_begin(R3D_POLYGON);
    r3d_color(1.0f, 1.0f, 1.0f);
    r3d_vertex(-0.5f, -0.5f, -1.0f);
    r3d_color(0.2f, 0.2f, 0.2f);
    r3d_vertex(0.5f, -0.5f, -1.0f);
    r3d_vertex(0.5f, 0.5f, -1.0f);
    r3d_vertex(-0.5f, 0.5f, -1.0f);
    r3d_end();
    EXPECT_EQ(pixel(320, 240), 255);
}

// A deferred frame is drawn when deferring ends, before a clear and before
// the target changes, into the target it was recorded for.
TEST_F(BatchWalk, DeferredFrameIsDrawnWhenItsTargetIsDone) {
    r3d_color(1.0f, 1.0f, 1.0f);
    r3d_enable(R3D_DEFER);
    quad(-0.5f, -0.5f, 0.5f, 0.5f, -2.0f);
    EXPECT_EQ(drawn(), 0);
    r3d_disable(R3D_DEFER);
    const int quadPixels = drawn();
    EXPECT_GT(quadPixels, 10000);

    std::vector<uint8_t> other(frame.size());
    r3d_enable(R3D_DEFER);
    r3d_clear(R3D_COLOUR_BUFFER_BIT | R3D_DEPTH_BUFFER_BIT);
    quad(-0.5f, -0.5f, 0.5f, 0.5f, -2.0f);
    r3d_set_target(other.data());
    EXPECT_EQ(drawn(), quadPixels);
    quad(-0.5f, -0.5f, 0.5f, 0.5f, -3.0f);
    r3d_clear(R3D_COLOUR_BUFFER_BIT | R3D_DEPTH_BUFFER_BIT);
    r3d_disable(R3D_DEFER);
    EXPECT_EQ(std::count(other.begin(), other.end(), uint8_t(0)), FramePixels);
    EXPECT_EQ(depth_written(), 0);
}

// Inputs the show never produces: too many vertices, absurd line widths,
// huge and non-finite coordinates. None may write out of bounds or invoke
// undefined behaviour, and each still draws what its in-range parts mean.
#include "tests/render3d/fixture.h"

#include <cmath>
#include <limits>

using Safety = Render3d;

TEST_F(Safety, WideLineIsClippedToTheScreen) {
    r3d_line_width(1e12);   // pinned to the largest width
    r3d_draw_line(9, 100.0f, 200.0f, -1.0f, 110.0f, 201.0f, -1.0f);
    for (int y = 0; y < FrameHeight; y++) {
        ASSERT_EQ(pixel(105, y), 9) << y;
    }
    EXPECT_EQ(drawn(), 11 * FrameHeight);
    r3d_clear(3);
    r3d_line_width(3e9);
    r3d_draw_line(9, 300.0f, 10.0f, -1.0f, 301.0f, 20.0f, -1.0f);
    EXPECT_EQ(drawn(), 11 * FrameWidth);
}

TEST_F(Safety, HugeLineEndsStillDrawTheVisiblePart) {
    r3d_draw_line(9, -1e30f, 100.0f, -1.0f, 1e30f, 100.0f, -1.0f);
    for (int x = 0; x < FrameWidth; x++) {
        ASSERT_EQ(pixel(x, 100), 9) << x;
    }
    EXPECT_EQ(drawn(), FrameWidth);
    r3d_clear(3);
    r3d_draw_line(9, 50.0f, -std::numeric_limits<float>::infinity(), -1.0f, 50.0f, 1e9f, -1.0f);
    EXPECT_EQ(drawn(), FrameHeight);
}

TEST_F(Safety, HugePolygonCoversTheScreen) {
    const float corners[4][3] = {{-1e12f, -1e12f, -1.0f}, {1e12f, -1e12f, -1.0f},
                                 {1e12f, 1e12f, -1.0f}, {-1e12f, 1e12f, -1.0f}};
    r3d_fill_polygon(corners, 4, 9);
    EXPECT_EQ(drawn(), FrameWidth * FrameHeight);
}

TEST_F(Safety, NonFiniteInputDrawsWithoutFault) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    r3d_draw_line(9, nan, 10.0f, -1.0f, 100.0f, 20.0f, -1.0f);
    r3d_draw_line(9, 10.0f, nan, -1.0f, 20.0f, 300.0f, nan);
    const float corners[4][3] = {{nan, 10.0f, -1.0f}, {100.0f, inf, -1.0f}, {100.0f, 100.0f, nan},
                                 {-inf, 100.0f, -1.0f}};
    r3d_fill_polygon(corners, 4, 9);
    const float light[3] = {-inf, nan, inf};
    r3d_light(1, R3D_LIGHT_COLOR, light);
    r3d_enable(R3D_LIGHTING);
    r3d_color(1.0f, 1.0f, 1.0f);
    r3d_begin(R3D_POLYGON);
    r3d_vertex(-0.5f, -0.5f, -1.0f);
    r3d_vertex(0.5f, -0.5f, -1.0f);
    r3d_vertex(0.5f, 0.5f, -1.0f);
    r3d_end();
    // The triangle is drawn; its colour from an infinite light is defined
    // but meaningless.
    EXPECT_NE(depth(400, 300), INT16_MIN);
}

TEST_F(Safety, VertexJustInFrontOfTheNearPlaneProjectsFarOff) {
    r3d_color(1.0f, 1.0f, 1.0f);
    r3d_begin(R3D_POLYGON);
    r3d_vertex(-1e6f, -0.5f, -0.0101f);
    r3d_vertex(0.5f, -0.5f, -1.0f);
    r3d_vertex(0.5f, 0.5f, -1.0f);
    r3d_vertex(-1e6f, 0.5f, -0.0101f);
    r3d_end();
    // Everything left of column 480 between the rows is covered.
    EXPECT_EQ(pixel(0, 240), 255);
    EXPECT_EQ(pixel(479, 240), 255);
    EXPECT_EQ(pixel(480, 240), 0);
}

TEST_F(Safety, RenderingWithoutATargetDrawsNothing) {
    r3d_set_target(nullptr);
    r3d_clear(3);
    r3d_begin(R3D_POLYGON);
    r3d_vertex(-0.5f, -0.5f, -1.0f);
    r3d_vertex(0.5f, -0.5f, -1.0f);
    r3d_vertex(0.5f, 0.5f, -1.0f);
    r3d_end();
    EXPECT_EQ(depth_written(), 0);
    EXPECT_EQ(R3d.vertexCount, 0u);
}

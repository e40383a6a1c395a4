// The drawing context: start values, clearing, matrices and their exact
// arithmetic, colour/normal/light state and vertex submission.
#include "tests/render3d/fixture.h"

#include <cmath>
#include <cstring>
#include <random>

namespace {

bool same_matrix(const float* a, const float* b) {
    return std::memcmp(a, b, 16 * sizeof(float)) == 0;
}

// Rounds a + b*c once, as a fused multiply-add does. Exact when a and b*c
// are within a few binary orders of each other: the double sum then holds
// every bit, and only the final conversion rounds.
float fused(float a, float b, float c) {
    return float(double(a) + double(b) * double(c));
}

}  // namespace

using ContextState = Render3d;
using Transforms = Render3d;
using VertexBatch = Render3d;

TEST(ContextStart, FreshContextHasTheStartValues) {
    const R3dContext fresh;
    EXPECT_EQ(fresh.lineWidth, 1u);
    EXPECT_EQ(fresh.vertexCount, 0u);
    EXPECT_EQ(fresh.lighting, 0);
    EXPECT_EQ(fresh.mode, 0);
    EXPECT_EQ(fresh.clearIndex, 0);
    EXPECT_EQ(fresh.target, nullptr);
    const float zeros[16] = {};
    EXPECT_TRUE(same_matrix(fresh.PositionMatrix, zeros));
    EXPECT_TRUE(same_matrix(fresh.NormalMatrix, zeros));
}

TEST_F(ContextState, ClearColourFollowsTheIndexRule) {
    const struct { float grey; uint8_t index; } cases[] = {{0.5f, 127}, {1.0f, 255}, {0.9f, 229}, {0.0f, 0}};
    for (const auto& c : cases) {
        r3d_clear_color(c.grey, c.grey, c.grey, 0.7f);
        EXPECT_EQ(R3d.clearIndex, c.index) << c.grey;
    }
    r3d_clear_color(2.0f, -1.0f, NAN, 1.0f);   // clamped to (1, 0, 0)
    EXPECT_EQ(R3d.clearIndex, 85);
}

TEST_F(ContextState, ClearFillsEveryPixelAndDepth) {
    for (int16_t& d : R3d.DepthBuffer) {
        d = 7;
    }
    r3d_clear_color(0.5f, 0.5f, 0.5f, 0.0f);
    r3d_clear(R3D_COLOUR_BUFFER_BIT | R3D_DEPTH_BUFFER_BIT);
    for (uint8_t p : frame) {
        ASSERT_EQ(p, 127);
    }
    EXPECT_EQ(depth_written(), 0);
}

TEST_F(ContextState, ColourIsClampedButLightIsNot) {
    r3d_color(-0.5f, 2.0f, 0.3f);
    EXPECT_EQ(R3d.colour[0], 0.0f);
    EXPECT_EQ(R3d.colour[1], 1.0f);
    EXPECT_EQ(R3d.colour[2], 0.3f);
    r3d_color(NAN, 0.25f, 1.0f);
    EXPECT_EQ(R3d.colour[0], 0.0f);
    const float bright[3] = {3.0f, -2.0f, 1.5f};
    r3d_light(4, R3D_LIGHT_COLOR, bright);   // the light number is not looked at
    EXPECT_EQ(R3d.lightColour[0], 3.0f);
    EXPECT_EQ(R3d.lightColour[1], -2.0f);
    EXPECT_EQ(R3d.lightColour[2], 1.5f);
    const float other[3] = {9.0f, 9.0f, 9.0f};
    r3d_light(0, 2, other);
    EXPECT_EQ(R3d.lightColour[0], 3.0f);
}

TEST_F(ContextState, OnlyCapabilityOneSwitchesLighting) {
    r3d_enable(2);
    r3d_enable(3);
    r3d_enable(4);
    EXPECT_EQ(R3d.lighting, 0);
    r3d_enable(R3D_LIGHTING);
    r3d_disable(2);
    EXPECT_EQ(R3d.lighting, 1);
    r3d_disable(R3D_LIGHTING);
    EXPECT_EQ(R3d.lighting, 0);
}

TEST_F(ContextState, LineWidthTruncatesToUnsigned) {
    const struct { double width; uint32_t expected; } cases[] = {
        {2.0, 2}, {2.9, 2}, {0.7, 0}, {-0.5, 0}, {3e9, 3000000000u},
        // Beyond what the conversion defines: pinned, never undefined.
        {-5.0, 0}, {NAN, 0}, {1e20, UINT32_MAX}, {INFINITY, UINT32_MAX}};
    for (const auto& c : cases) {
        r3d_line_width(c.width);
        EXPECT_EQ(R3d.lineWidth, c.expected) << c.width;
    }
}

TEST_F(Transforms, TranslateMovesVerticesButNotNormals) {
    r3d_enable(R3D_LIGHTING);
    const float n[3] = {0.25f, -0.5f, 2.0f};
    r3d_normal(n);
    r3d_translate(0.0f, 0.0f, -2.0f);
    r3d_vertex(1.0f, 2.0f, 3.0f);
    const float position[4] = {1.0f, 2.0f, 1.0f, 1.0f};
    const float normal[4] = {0.25f, -0.5f, 2.0f, 1.0f};
    EXPECT_EQ(std::memcmp(R3d.VertexPositions[0], position, sizeof position), 0);
    EXPECT_EQ(std::memcmp(R3d.VertexNormals[0], normal, sizeof normal), 0);
}

TEST_F(Transforms, RotationsTurnTheSpecifiedWays) {
    struct Case { float axis[3]; float in[3]; float out[3]; };
    // The y rotation turns x towards +z: against the right-hand rule.
    const Case cases[] = {{{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},
                          {{0, 1, 0}, {1, 0, 0}, {0, 0, 1}},
                          {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    for (const Case& c : cases) {
        r3d_load_identity();
        r3d_rotate(90.0f, c.axis[0], c.axis[1], c.axis[2]);
        r3d_begin(R3D_POLYGON);
        r3d_vertex(c.in[0], c.in[1], c.in[2]);
        for (int k = 0; k < 3; k++) {
            EXPECT_NEAR(R3d.VertexPositions[0][k], c.out[k], 1e-6) << "axis " << c.axis[0] << c.axis[1] << c.axis[2];
        }
        EXPECT_TRUE(same_matrix(R3d.PositionMatrix, R3d.NormalMatrix));
    }
}

TEST_F(Transforms, OnlyWhetherAnAxisIsZeroMatters) {
    r3d_rotate(33.0f, 0.0f, 0.0f, -5.0f);
    float once[16];
    std::memcpy(once, R3d.PositionMatrix, sizeof once);
    r3d_load_identity();
    r3d_rotate(33.0f, 0.0f, 0.0f, 1.0f);
    EXPECT_TRUE(same_matrix(R3d.PositionMatrix, once));
    r3d_rotate(71.0f, 0.0f, 0.0f, 0.0f);
    EXPECT_TRUE(same_matrix(R3d.PositionMatrix, once));
    EXPECT_TRUE(same_matrix(R3d.NormalMatrix, once));
}

TEST_F(Transforms, SinesAndCosinesAreDoubleRoundedToSingle) {
    for (float angle = -400.0f; angle <= 400.0f; angle += 0.37f) {
        r3d_load_identity();
        r3d_rotate(angle, 0.0f, 0.0f, 1.0f);
        const float a = float(double(angle) * 0.017453292519943295);
        ASSERT_EQ(R3d.PositionMatrix[0], float(std::cos(double(a)))) << angle;
        ASSERT_EQ(R3d.PositionMatrix[4], float(std::sin(double(a)))) << angle;
        ASSERT_EQ(R3d.PositionMatrix[1], -R3d.PositionMatrix[4]) << angle;
    }
}

// Vertices and matrix products round once per term added (fused
// multiply-adds). Over many inputs a separately rounded product would give a
// different last bit somewhere; the test checks that such cases occurred.
TEST_F(Transforms, ProductsUseFusedMultiplyAdd) {
    std::mt19937 random(4);
    std::uniform_real_distribution<float> unit(0.5f, 1.0f);
    std::uniform_real_distribution<float> angles(20.0f, 70.0f);
    int unfusedWouldDiffer = 0;
    for (int trial = 0; trial < 2000; trial++) {
        r3d_load_identity();
        r3d_rotate(angles(random), 0.0f, 0.0f, 1.0f);
        const float c = R3d.PositionMatrix[0];
        const float s = R3d.PositionMatrix[4];
        const float x = unit(random);
        const float y = unit(random);
        r3d_begin(R3D_POLYGON);
        r3d_vertex(x, y, 0.0f);
        ASSERT_EQ(R3d.VertexPositions[0][0], fused(c * x, -s, y));
        ASSERT_EQ(R3d.VertexPositions[0][1], fused(s * x, c, y));
        // Matrix product: the translation column of R * T.
        r3d_translate(x, y, 0.0f);
        ASSERT_EQ(R3d.PositionMatrix[3], fused(c * x, -s, y));
        unfusedWouldDiffer += fused(c * x, -s, y) != c * x + -s * y;
    }
    EXPECT_GT(unfusedWouldDiffer, 20);
}

TEST_F(VertexBatch, LightingOffLeavesNormalsUntouched) {
    R3d.VertexNormals[0][2] = 42.0f;
    const float n[3] = {0.0f, 0.0f, 1.0f};
    r3d_normal(n);
    r3d_vertex(0.0f, 0.0f, -1.0f);
    EXPECT_EQ(R3d.VertexNormals[0][2], 42.0f);
    r3d_enable(R3D_LIGHTING);
    r3d_vertex(0.0f, 0.0f, -1.0f);
    EXPECT_EQ(R3d.VertexNormals[1][2], 1.0f);
}

TEST_F(VertexBatch, VerticesCarryTheColourOfTheirSubmission) {
    r3d_begin(R3D_LINE_STRIP);
    r3d_color(0.1f, 0.2f, 0.3f);
    r3d_vertex(0.0f, 0.0f, -1.0f);
    r3d_color(0.4f, 0.5f, 0.6f);
    r3d_vertex(0.0f, 0.0f, -1.0f);
    EXPECT_EQ(R3d.VertexColors[0][1], 0.2f);
    EXPECT_EQ(R3d.VertexColors[1][1], 0.5f);
    EXPECT_EQ(R3d.vertexCount, 2u);
}

TEST_F(VertexBatch, BeginDiscardsAndEndEmptiesTheBatch) {
    r3d_vertex(0.0f, 0.0f, -1.0f);   // outside a batch: still appended
    EXPECT_EQ(R3d.vertexCount, 1u);
    r3d_begin(R3D_LINES);
    EXPECT_EQ(R3d.vertexCount, 0u);
    r3d_vertex(0.0f, 0.0f, -1.0f);
    r3d_end();
    EXPECT_EQ(R3d.vertexCount, 0u);
    EXPECT_EQ(R3d.mode, R3D_LINES);
}

TEST_F(VertexBatch, VerticesBeyondTheBatchAreDropped) {
    r3d_begin(R3D_LINES);
    r3d_color(0.25f, 0.25f, 0.25f);
    for (int i = 0; i < R3dMaxVertices; i++) {
        r3d_vertex(float(i), 0.0f, -1.0f);
    }
    r3d_color(1.0f, 1.0f, 1.0f);
    r3d_vertex(-7.0f, -7.0f, -7.0f);
    r3d_vertex(-8.0f, -8.0f, -8.0f);
    EXPECT_EQ(R3d.vertexCount, uint32_t(R3dMaxVertices));
    EXPECT_EQ(R3d.VertexPositions[R3dMaxVertices - 1][0], float(R3dMaxVertices - 1));
    // The array after the positions is untouched.
    EXPECT_EQ(R3d.VertexColors[0][0], 0.25f);
    r3d_end();
    EXPECT_EQ(R3d.vertexCount, 0u);
}

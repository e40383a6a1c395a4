// The library's rasterizers against the literal reference, on many random
// primitives drawn over each other: every pixel and every depth value must
// agree after every primitive.
#include "tests/render3d/fixture.h"
#include "tests/render3d/reference.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <random>

namespace {

class Reference : public Render3d {
protected:
    void SetUp() override {
        Render3d::SetUp();
        ref_copy_from_context(*canvas);
    }

    // A coordinate in [lo, hi); half of them snapped to halves so that
    // ties, horizontal edges and exact pixel centres occur often.
    float coordinate(float lo, float hi) {
        const float value = std::uniform_real_distribution<float>(lo, hi)(random);
        return random() % 2 == 0 ? float(int(value * 2.0f)) * 0.5f : value;
    }

    float depth_value() {
        // Mostly within the 16-bit range, sometimes beyond it (wrapping).
        return random() % 8 == 0 ? -std::uniform_real_distribution<float>(15.0f, 20.0f)(random)
                                 : -std::uniform_real_distribution<float>(0.01f, 4.0f)(random);
    }

    ::testing::AssertionResult matches(int primitive) const {
        for (int i = 0; i < FrameWidth * FrameHeight; i++) {
            if (frame[size_t(i)] != canvas->pixels[i] || R3d.DepthBuffer[i] != canvas->depth[i]) {
                return ::testing::AssertionFailure()
                       << "primitive " << primitive << " differs at (" << i % FrameWidth << ", " << i / FrameWidth
                       << "): pixel " << int(frame[size_t(i)]) << " vs " << int(canvas->pixels[i]) << ", depth "
                       << R3d.DepthBuffer[i] << " vs " << canvas->depth[i];
            }
        }
        return ::testing::AssertionSuccess();
    }

    // A random batch in the context, as r3d_begin ... r3d_vertex would leave
    // it: the mode, vertices in front of and behind the near plane, the
    // width and lighting.
    void random_batch() {
        R3d.mode = int(random() % 5);   // 0 and 4 draw nothing
        R3d.vertexCount = random() % 9;
        R3d.lineWidth = random() % 4;
        R3d.lighting = int(random() % 2);
        for (float& c : R3d.lightColour) {
            c = std::uniform_real_distribution<float>(-0.3f, 1.2f)(random);
        }
        for (uint32_t i = 0; i < R3d.vertexCount; i++) {
            const int kind = int(random() % 10);
            // Behind the camera, on the near plane or just in front of it
            // (small x and y keep the projection in int range), or in view.
            const float z = kind == 0 ? std::uniform_real_distribution<float>(-0.0099f, 1.0f)(random)
                            : kind == 1 ? -0.01f
                            : kind == 2 ? -std::uniform_real_distribution<float>(0.01f, 0.1f)(random)
                                        : depth_value();
            const float reach = kind == 2 ? 0.2f : 1.5f;
            R3d.VertexPositions[i][0] = coordinate(-reach, reach) * (kind == 2 ? 1.0f : -z);
            R3d.VertexPositions[i][1] = coordinate(-reach, reach) * (kind == 2 ? 1.0f : -z);
            R3d.VertexPositions[i][2] = z;
            for (float& c : R3d.VertexColors[i]) {
                c = std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
            }
            R3d.VertexNormals[i][2] = std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);
        }
    }

    std::mt19937 random{20240611};
    std::unique_ptr<RefCanvas> canvas = std::make_unique<RefCanvas>();
};

}  // namespace

TEST_F(Reference, PolygonFillMatchesOnRandomPolygons) {
    for (int p = 0; p < 3000; p++) {
        const int n = 1 + int(random() % 7);
        float screen[8][3];
        for (int k = 0; k < n; k++) {
            screen[k][0] = coordinate(-300.0f, 940.0f);
            screen[k][1] = coordinate(-200.0f, 680.0f);
            screen[k][2] = depth_value();
        }
        const uint8_t colour = uint8_t(random());
        r3d_fill_polygon(screen, n, colour);
        ref_fill_screen(*canvas, screen, n, colour);
        ASSERT_TRUE(matches(p));
    }
}

TEST_F(Reference, LineDrawingMatchesOnRandomLines) {
    for (int p = 0; p < 4000; p++) {
        const uint32_t width = random() % 7;
        R3d.lineWidth = width;
        const float x0 = coordinate(-200.0f, 840.0f);
        const float y0 = coordinate(-150.0f, 630.0f);
        // A quarter are short, a few are points or axis-aligned.
        const float reach = random() % 4 == 0 ? 3.0f : 700.0f;
        float x1 = random() % 10 == 0 ? x0 : x0 + coordinate(-reach, reach);
        float y1 = random() % 10 == 0 ? y0 : y0 + coordinate(-reach, reach);
        if (std::fabs(x1 - x0) < 0.05f && std::fabs(y1 - y0) < 0.05f) {
            x1 = x0;   // keeps the depth step per pixel within int range
            y1 = y0;
        }
        const float z0 = depth_value();
        const float z1 = random() % 3 == 0 ? z0 : depth_value();
        const uint8_t colour = uint8_t(random());
        r3d_draw_line(colour, x0, y0, z0, x1, y1, z1);
        ref_draw_line(*canvas, width, colour, x0, y0, z0, x1, y1, z1);
        ASSERT_TRUE(matches(p));
    }
}

// Whole batches through r3d_end: the walk over vertices in front and
// behind, projection, lighting and the polygon outline.
TEST_F(Reference, BatchesMatchOnRandomVertices) {
    for (int p = 0; p < 3000; p++) {
        random_batch();
        ref_end(*canvas);
        r3d_end();
        ASSERT_TRUE(matches(p));
    }
}

// The same batches recorded as a deferred frame and drawn every 5000
// batches in two parts of the rows on two threads; the record overflows on the way and draws
// itself when full.
TEST_F(Reference, DeferredBatchesMatchInTheirOrder) {
    bool overflowed = false;
    r3d_enable(R3D_DEFER);
    for (int p = 0; p < 10000; p++) {
        random_batch();
        ref_end(*canvas);
        const int32_t recorded = R3d.commandCount;
        r3d_end();
        overflowed = overflowed || R3d.commandCount < recorded;
        if (p % 5000 == 4999) {
            r3d_disable(R3D_DEFER);
            ASSERT_TRUE(matches(p));
            r3d_enable(R3D_DEFER);
        }
    }
    r3d_disable(R3D_DEFER);
    EXPECT_TRUE(overflowed);
}

// Whole scenes compared with stored images that were checked by eye.
// Refresh deliberately with VELOMIRA_UPDATE_GOLDEN=1 (then look at the new
// files before committing them); otherwise a missing or different image
// fails.
#include "tests/render3d/fixture.h"
#include "tests/render3d/png_io.h"
#include "tests/render3d/scenes.h"

#include <cstdlib>
#include <algorithm>
#include <memory>
#include <string>

namespace {

class Golden : public Render3d {
protected:
    void expect_golden(const std::string& name) {
        const std::string path = std::string(VELOMIRA_GOLDEN_DIR) + "/" + name + ".png";
        IndexedImage rendered{FrameWidth, FrameHeight, frame};
        const char* update = std::getenv("VELOMIRA_UPDATE_GOLDEN");
        if (update != nullptr && std::string(update) == "1") {
            const std::string error = png_write_indexed(path, rendered);
            ASSERT_EQ(error, "");
            GTEST_SKIP() << "wrote " << path << ": inspect it before committing";
        }
        IndexedImage stored;
        const std::string error = png_read_indexed(path, stored);
        ASSERT_EQ(error, "") << "(create it with VELOMIRA_UPDATE_GOLDEN=1)";
        ASSERT_EQ(stored.width, FrameWidth);
        ASSERT_EQ(stored.height, FrameHeight);
        int differing = 0;
        int first = -1;
        for (size_t i = 0; i < frame.size(); i++) {
            if (frame[i] != stored.pixels[i]) {
                differing++;
                first = first < 0 ? int(i) : first;
            }
        }
        EXPECT_EQ(differing, 0) << name << ": first difference at (" << first % FrameWidth << ", "
                                << first / FrameWidth << ")";
    }
};

void tilted_quad(float angle, float z, float grey) {
    r3d_load_identity();
    r3d_translate(0.0f, 0.0f, z);
    r3d_rotate(angle, 0.0f, 1.0f, 0.0f);
    r3d_color(grey, grey, grey);
    r3d_begin(R3D_POLYGON);
    r3d_vertex(-0.4f, -0.4f, 0.0f);
    r3d_vertex(0.4f, -0.4f, 0.0f);
    r3d_vertex(0.4f, 0.4f, 0.0f);
    r3d_vertex(-0.4f, 0.4f, 0.0f);
    r3d_end();
}

}  // namespace

// Two quads through each other (depth interpolation decides the crossing),
// their black top and bottom outlines, a lit triangle and a shallow,
// steep and wide line crossing them.
TEST_F(Golden, InterpenetratingQuadsAndLines) {
    r3d_clear_color(0.25f, 0.25f, 0.3f, 0.0f);
    r3d_clear(3);
    tilted_quad(35.0f, -1.2f, 0.6f);
    tilted_quad(-35.0f, -1.2f, 0.9f);
    r3d_load_identity();
    r3d_enable(R3D_LIGHTING);
    const float light[3] = {0.2f, 0.2f, 0.2f};
    r3d_light(1, R3D_LIGHT_COLOR, light);
    const float normal[3] = {0.0f, 0.6f, 0.8f};
    r3d_normal(normal);
    r3d_rotate(20.0f, 1.0f, 0.0f, 0.0f);
    r3d_color(0.9f, 0.7f, 0.5f);
    r3d_begin(R3D_POLYGON);
    r3d_vertex(-0.9f, -0.6f, -1.5f);
    r3d_vertex(0.2f, -0.7f, -1.1f);
    r3d_vertex(-0.3f, 0.1f, -1.3f);
    r3d_end();
    r3d_disable(R3D_LIGHTING);
    r3d_load_identity();
    r3d_color(1.0f, 1.0f, 1.0f);
    for (uint32_t width : {1u, 2u, 5u}) {
        r3d_line_width(double(width));
        r3d_begin(R3D_LINES);
        const float offset = 0.1f * float(width);
        r3d_vertex(-0.9f, -0.3f + offset, -1.0f);
        r3d_vertex(0.9f, 0.1f + offset, -1.4f);
        r3d_vertex(-0.6f + offset, 0.6f, -1.0f);
        r3d_vertex(-0.4f + offset, -0.6f, -1.6f);
        r3d_end();
    }
    expect_golden("quads_and_lines");
}

// Polygons and strips reaching behind the near plane: unfilled polygons
// keep the outlines whose ends are both in front, strips break.
TEST_F(Golden, NearPlaneRejection) {
    r3d_clear_color(0.4f, 0.4f, 0.4f, 0.0f);
    r3d_clear(3);
    r3d_line_width(2.0);
    r3d_rotate(-60.0f, 1.0f, 0.0f, 0.0f);
    for (int row = 0; row < 6; row++) {
        for (int column = -4; column < 4; column++) {
            const float x = 0.3f * float(column);
            const float y = 0.35f * float(row) - 0.7f;
            r3d_color(0.15f * float(row + 1), 0.1f * float(column + 5), 0.2f);
            r3d_begin(R3D_POLYGON);
            r3d_vertex(x, y, -0.5f);
            r3d_vertex(x + 0.25f, y, -0.5f);
            r3d_vertex(x + 0.25f, y + 0.3f, -0.5f);
            r3d_vertex(x, y + 0.3f, -0.5f);
            r3d_end();
        }
    }
    // Three quads above the floor: a corner behind the camera leaves the
    // first one with only its top edge, the second with only its bottom
    // edge; the third is whole.
    r3d_load_identity();
    r3d_line_width(3.0);
    r3d_color(0.9f, 0.9f, 0.9f);
    const float behind[3][4] = {{0.3f, -1.0f, -1.0f, -1.0f}, {-1.0f, -1.0f, 0.3f, -1.0f}, {-1.0f, -1.0f, -1.0f, -1.0f}};
    for (int q = 0; q < 3; q++) {
        const float x = -0.9f + 0.7f * float(q);
        r3d_begin(R3D_POLYGON);
        r3d_vertex(x, 0.2f, behind[q][0]);
        r3d_vertex(x + 0.4f, 0.2f, behind[q][1]);
        r3d_vertex(x + 0.4f, 0.6f, behind[q][2]);
        r3d_vertex(x, 0.6f, behind[q][3]);
        r3d_end();
    }
    r3d_line_width(2.0);
    r3d_color(1.0f, 1.0f, 1.0f);
    r3d_begin(R3D_LINE_STRIP);
    for (int i = 0; i < 40; i++) {
        r3d_vertex(-1.0f + 0.05f * float(i), 0.3f * float(i % 2), i % 9 == 4 ? 0.2f : -1.0f);
    }
    r3d_end();
    expect_golden("near_plane");
}

// A show-like frame: twelve lit ribbon copies and the crossed strips.
TEST_F(Golden, RibbonFrame) {
    auto ribbon = std::make_unique<SceneRibbon>();
    scene_ribbon_build(*ribbon, 0.3f);
    scene_frame(frame.data(), *ribbon, -1.0f, -25.0f, 10.0f);
    expect_golden("ribbon_frame");
    // Recorded and drawn in two parts of the rows on two threads: the same picture.
    std::fill(frame.begin(), frame.end(), uint8_t(0));
    r3d_enable(R3D_DEFER);
    scene_frame(frame.data(), *ribbon, -1.0f, -25.0f, 10.0f);
    r3d_disable(R3D_DEFER);
    expect_golden("ribbon_frame");
}

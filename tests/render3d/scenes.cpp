#include "tests/render3d/scenes.h"

#include "render3d/r3d.h"

#include <cmath>

void scene_ribbon_build(SceneRibbon& ribbon, float bend) {
    float spine[64][3];
    for (int n = 0; n < 64; n++) {
        const double t = n / 63.0;
        spine[n][0] = float(0.9 * t);
        spine[n][1] = float(-bend * std::sin(3.141592653589793 * t));
        spine[n][2] = float(0.12 * std::sin(n * 0.04908738521234052));
    }
    for (int i = 0; i < 63; i++) {
        const float* a = spine[i];
        const float* b = spine[i + 1];
        const float e[3] = {b[2] - a[2], a[0] - b[0], b[1] - a[1]};
        const float length = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
        for (int k = 0; k < 3; k++) {
            ribbon.normals[i][k] = e[k] / length;
        }
        // The spine's y becomes depth; each quad spans -half-width to +half-width.
        const float corners[4][3] = {
            {a[0], -a[2], a[1]}, {b[0], -b[2], b[1]}, {b[0], b[2], b[1]}, {a[0], a[2], a[1]}};
        for (int c = 0; c < 4; c++) {
            for (int k = 0; k < 3; k++) {
                ribbon.corners[i][c][k] = corners[c][k];
            }
        }
    }
}

void scene_ribbon_draw(const SceneRibbon& ribbon, float brightness) {
    r3d_enable(R3D_LIGHTING);
    r3d_color(brightness * 0.82f, brightness * 0.87f, brightness * 0.95f);
    for (int i = 0; i < 63; i++) {
        r3d_normal(ribbon.normals[i]);
        r3d_begin(R3D_POLYGON);
        for (const float* corner : ribbon.corners[i]) {
            r3d_vertex(corner[0], corner[1], corner[2]);
        }
        r3d_end();
    }
}

void scene_frame(uint8_t* target, const SceneRibbon& ribbon, float distance, float tilt, float spin) {
    r3d_set_target(target);
    r3d_clear_color(0.3f, 0.3f, 0.3f, 0.0f);
    r3d_clear(3);
    r3d_load_identity();
    r3d_translate(0.0f, 0.0f, distance);
    r3d_rotate(tilt, 1.0f, 0.0f, 0.0f);
    r3d_rotate(spin, 0.0f, 0.0f, 1.0f);
    // Two crossed strips tracing a wave, white at the ends, black mid-way.
    r3d_disable(R3D_LIGHTING);
    r3d_line_width(2.0);
    for (int strip = 0; strip < 2; strip++) {
        r3d_begin(R3D_LINE_STRIP);
        for (int i = 0; i < 1024; i += 8) {
            const float c = float(1.0 - std::sin(i * 0.0030679615757712823));
            r3d_color(c, c, c);
            const float x = (float(i) * (1.0f / 1024.0f) - 0.5f) * 2.0f;
            r3d_vertex(x, float(0.15 * std::sin(i * 0.05 + strip)), -0.3f);
        }
        r3d_end();
        r3d_rotate(90.0f, 0.0f, 0.0f, 1.0f);
    }
    const float light[3] = {0.4f, 0.4f, 0.4f};
    r3d_light(4, R3D_LIGHT_COLOR, light);
    r3d_rotate(15.0f, 0.0f, 0.0f, 1.0f);
    for (int copy = 0; copy < 12; copy++) {
        r3d_rotate(30.0f, 0.0f, 0.0f, 1.0f);
        scene_ribbon_draw(ribbon, 0.9f);
    }
}

// Scenes drawn through the public pipeline for the golden images and the
// benchmark: a lit ribbon of 63 quads and a whole show-like frame (clear,
// two 128-vertex line strips of width 2, twelve ribbon copies).
#pragma once

#include <cstdint>

struct SceneRibbon {
    float corners[63][4][3];   // object-space quad corners, in drawing order
    float normals[63][3];      // one unit normal per quad
};

// A spine bending in the object's x-z plane, about 0.9 long, whose width
// swells to 0.24 in the middle; `bend` changes its curvature.
void scene_ribbon_build(SceneRibbon& ribbon, float bend);
// 63 lit polygons in a blue-weighted grey of the given brightness.
void scene_ribbon_draw(const SceneRibbon& ribbon, float brightness);
// Clears the target and depth buffer, then draws the frame under a camera
// at distance `distance`, tilted by `tilt` and spun by `spin` degrees.
void scene_frame(uint8_t* target, const SceneRibbon& ribbon, float distance, float tilt, float spin);

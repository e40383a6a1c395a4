// A recording stand-in for the 3D pipeline: the show's unit tests link it
// instead of render3d, so they can check what the show asks the pipeline to
// draw (batches, vertices, colours, transforms) without rasterizing anything.
#pragma once

#include <cstdint>
#include <vector>

struct FakeVertex {
    float x, y, z;
    float r, g, b;   // current colour at submission
};

struct FakeBatch {
    int mode = 0;
    bool lighting = false;
    uint32_t lineWidth = 0;
    float normal[3] = {};
    std::vector<FakeVertex> vertices;
};

struct FakeRotation {
    float angle, x, y, z;
};

struct FakeR3d {
    uint8_t* target = nullptr;
    int clears = 0;
    float clearColour[3] = {};
    int identities = 0;
    float translation[3] = {};
    std::vector<FakeRotation> rotations;
    float colour[3] = {};
    float normal[3] = {};
    float light[3] = {};
    bool lighting = false;
    uint32_t lineWidth = 1;
    FakeBatch open;
    std::vector<FakeBatch> batches;
};
inline FakeR3d Fake;

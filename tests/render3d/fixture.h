// A fresh drawing context for each test: a black 640x480 target, a cleared
// depth buffer and identity matrices.
#pragma once

#include "render3d/r3d.h"

#include <gtest/gtest.h>

#include <vector>

class Render3d : public ::testing::Test {
protected:
    void SetUp() override {
        R3d = R3dContext{};
        r3d_set_target(frame.data());
        r3d_clear(R3D_COLOUR_BUFFER_BIT | R3D_DEPTH_BUFFER_BIT);
        r3d_load_identity();
    }
    uint8_t pixel(int x, int y) const { return frame[size_t(y) * FrameWidth + size_t(x)]; }
    int16_t depth(int x, int y) const { return R3d.DepthBuffer[y * FrameWidth + x]; }
    // Pixels of the target that differ from the clear index 0.
    int drawn() const {
        int count = 0;
        for (uint8_t p : frame) {
            count += p != 0;
        }
        return count;
    }
    // Depth entries that differ from the cleared -32768.
    int depth_written() const {
        int count = 0;
        for (int16_t d : R3d.DepthBuffer) {
            count += d != INT16_MIN;
        }
        return count;
    }

    std::vector<uint8_t> frame = std::vector<uint8_t>(size_t(FrameWidth) * FrameHeight);
};

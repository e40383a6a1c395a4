// The number rules the pipeline stages share: truncation to integers that is
// defined for every input, the near-plane test, the projection and the
// colour-to-index rule. Internal to render3d/ and its tests.
#pragma once

#include <cstdint>

// Truncation toward zero, as a plain (int32_t) cast does for every value it
// defines. Out of range the cast is undefined behaviour; here it saturates,
// and NaN gives INT32_MIN. Huge screen coordinates come from vertices just in
// front of the near plane, non-finite ones from non-finite input.
inline int32_t r3d_trunc(float v) {
#if defined(__wasm_nontrapping_fptoint__)
    // WebAssembly's saturating conversion is this rule except for NaN (0).
    return v == v ? __builtin_wasm_trunc_saturate_s_i32_f32(v) : INT32_MIN;
#else
    if (v >= -2147483648.0f && v < 2147483648.0f) {
        return int32_t(v);
    }
    return v >= 2147483648.0f ? INT32_MAX : INT32_MIN;
#endif
}

// The near plane: z <= -0.01, compared in double precision. The double
// constant matters: -0.01f is a different number.
inline bool r3d_in_front(float z) {
    return double(z) <= -0.01;
}

// Perspective projection with one scale (320) for both axes: square pixels,
// a 90 degree horizontal field of view. Single precision throughout; the
// product is formed before the division.
inline float r3d_project_x(float x, float z) {
    return 320.0f + 320.0f * x / -z;
}
inline float r3d_project_y(float y, float z) {
    return 240.0f - 320.0f * y / -z;
}

// Grey colour to palette index: trunc(((r + g) + b) * 85), low 8 bits.
// (1, 1, 1) gives exactly 255.
inline uint8_t r3d_colour_index(float r, float g, float b) {
    return uint8_t(uint32_t(r3d_trunc(((r + g) + b) * 85.0f)) & 0xFFu);
}

// The drawing context: clearing, matrix state, colour/normal/light state and
// vertex submission. Each vertex is taken to camera space as it arrives;
// r3d_end (raster.cpp) projects, lights and draws the batch.
#include "render3d/r3d.h"
#include "render3d/convert.h"

#include <cmath>
#include <cstdint>
#include <cstring>

// std::fma on floats is exact wherever it runs, but without the FMA
// instructions enabled at compile time each one is a library call, which
// dominated vertex submission. The matrix products are therefore also built
// for FMA hardware and picked at load time; both versions round identically.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__FMA__)
#define R3D_FMA_CLONES __attribute__((target_clones("fma", "default")))
#else
#define R3D_FMA_CLONES
#endif

namespace {

#if defined(__EMSCRIPTEN__)
// WebAssembly has no fused multiply-add: std::fma on floats is a call into
// the C library, which forms the product and the sum in double precision
// (the product exactly) and rounds the sum to float, unless the double sum
// lies exactly halfway between two floats after rounding inexactly itself,
// where it works harder. That common case is done here, inline, with the
// library's own test, so the results are the library's; the rare one still
// goes to it. Calls were a tenth of a frame in the browser.
inline float fused(float a, float b, float c) {
    const double product = double(a) * double(b);
    const double sum = product + double(c);
    uint64_t bits;
    std::memcpy(&bits, &sum, sizeof bits);
    const bool halfway = (bits & 0x1fffffff) == 0x10000000;
    const bool nan = (bits >> 52 & 0x7ff) == 0x7ff;
    if (!halfway || nan || (sum - product == double(c) && sum - double(c) == product)) {
        return float(sum);
    }
    return std::fma(a, b, c);
}
#else
inline float fused(float a, float b, float c) {
    return std::fma(a, b, c);
}
#endif

// A component that is not >= 0 (negative or NaN) becomes 0, then one that is
// not <= 1 becomes 1.
float clamp_unit(float c) {
    if (!(c >= 0.0f)) {
        c = 0.0f;
    }
    if (!(c <= 1.0f)) {
        c = 1.0f;
    }
    return c;
}

// m <- m * n. Each element is a chain of fused multiply-adds from zero, in
// k order; the result goes through a temporary so m may alias n.
R3D_FMA_CLONES void matrix_multiply(float* m, const float* n) {
    float product[16];
    for (int i = 0; i < 4; i++) {
        for (int j = 0; j < 4; j++) {
            float acc = 0.0f;
            for (int k = 0; k < 4; k++) {
                acc = fused(m[4 * i + k], n[4 * k + j], acc);
            }
            product[4 * i + j] = acc;
        }
    }
    std::memcpy(m, product, sizeof product);
}

// out <- m * (x, y, z, 1), fused multiply-adds as above. The vector comes in
// registers: a vertex stored piecewise and read back whole would stall on
// the store (the processor cannot forward small stores to a wide load).
// Inlined into r3d_vertex, which is built for FMA hardware in its stead.
[[gnu::always_inline]] inline void matrix_apply(const float* m, float x, float y, float z, float* out) {
    const float v[4] = {x, y, z, 1.0f};
    for (int i = 0; i < 4; i++) {
        float acc = 0.0f;
        for (int j = 0; j < 4; j++) {
            acc = fused(m[4 * i + j], v[j], acc);
        }
        out[i] = acc;
    }
}

void set_identity(float* m) {
    std::memset(m, 0, 16 * sizeof(float));
    m[0] = m[5] = m[10] = m[15] = 1.0f;
}

}  // namespace

// A deferred frame recorded so far goes to the target it was meant for.
void r3d_set_target(uint8_t* pixels) {
    r3d_draw_recorded();
    R3d.target = pixels;
}

void r3d_clear_color(float r, float g, float b, float /*alpha*/) {
    R3d.clearIndex = r3d_colour_index(clamp_unit(r), clamp_unit(g), clamp_unit(b));
}

// Without a target only the depth buffer is cleared. A deferred frame draws
// what it recorded before the clear, then records the clear as the start of
// a new record: each thread clears its own rows.
void r3d_clear(int /*mask*/) {
    if (R3d.deferring) {
        r3d_record_clear();
        return;
    }
    r3d_clear_rows(R3d.clearIndex, 0, FrameHeight - 1);
}

void r3d_load_identity() {
    set_identity(R3d.PositionMatrix);
    set_identity(R3d.NormalMatrix);
}

// Translations never reach NormalMatrix: normals are directions.
void r3d_translate(float x, float y, float z) {
    float t[16];
    set_identity(t);
    t[3] = x;
    t[7] = y;
    t[11] = z;
    matrix_multiply(R3d.PositionMatrix, t);
}

// Only whether an axis argument is zero matters. The y rotation has its sine
// signs the other way round from x and z (x' = x cos a - z sin a), so it
// turns against the right-hand rule; the show's camera depends on that.
// Several non-zero axes overwrite the same matrix in x, y, z order.
void r3d_rotate(float angle, float x, float y, float z) {
    const float a = float(double(angle) * 0.017453292519943295);
    const float c = float(std::cos(double(a)));
    const float s = float(std::sin(double(a)));
    float r[16];
    set_identity(r);
    if (x != 0.0f) {
        r[5] = c;
        r[6] = -s;
        r[9] = s;
        r[10] = c;
    }
    if (y != 0.0f) {
        r[0] = c;
        r[2] = -s;
        r[8] = s;
        r[10] = c;
    }
    if (z != 0.0f) {
        r[0] = c;
        r[1] = -s;
        r[4] = s;
        r[5] = c;
    }
    matrix_multiply(R3d.PositionMatrix, r);
    matrix_multiply(R3d.NormalMatrix, r);
}

void r3d_color(float r, float g, float b) {
    R3d.colour[0] = clamp_unit(r);
    R3d.colour[1] = clamp_unit(g);
    R3d.colour[2] = clamp_unit(b);
}

void r3d_normal(const float* n) {
    R3d.normal[0] = n[0];
    R3d.normal[1] = n[1];
    R3d.normal[2] = n[2];
}

void r3d_enable(int capability) {
    if (capability == R3D_LIGHTING) {
        R3d.lighting = 1;
    } else if (capability == R3D_DEFER) {
        R3d.deferring = true;
    }
}

void r3d_disable(int capability) {
    if (capability == R3D_LIGHTING) {
        R3d.lighting = 0;
    } else if (capability == R3D_DEFER) {
        r3d_draw_recorded();
        R3d.deferring = false;
    }
}

// The light number is not looked at: there is one light.
void r3d_light(int /*light*/, int parameter, const float* values) {
    if (parameter == R3D_LIGHT_COLOR) {
        R3d.lightColour[0] = values[0];
        R3d.lightColour[1] = values[1];
        R3d.lightColour[2] = values[2];
    }
}

// Truncation toward zero into 32 unsigned bits (widths from 2^31 up stay
// unsigned). Widths the conversion cannot represent are pinned instead of
// being undefined: negative or NaN draws nothing, 2^32 and up is the largest
// width, which the line rasterizer clips to the screen anyway.
void r3d_line_width(double width) {
    if (!(width > -1.0)) {
        R3d.lineWidth = 0;
    } else if (width >= 4294967296.0) {
        R3d.lineWidth = UINT32_MAX;
    } else {
        R3d.lineWidth = uint32_t(width);
    }
}

void r3d_begin(int mode) {
    R3d.vertexCount = 0;
    R3d.mode = mode;
}

// Vertices beyond the 2048-entry batch are dropped.
R3D_FMA_CLONES void r3d_vertex(float x, float y, float z) {
    const uint32_t n = R3d.vertexCount;
    if (n >= uint32_t(R3dMaxVertices)) {
        return;
    }
    matrix_apply(R3d.PositionMatrix, x, y, z, R3d.VertexPositions[n]);
    R3d.VertexColors[n][0] = R3d.colour[0];
    R3d.VertexColors[n][1] = R3d.colour[1];
    R3d.VertexColors[n][2] = R3d.colour[2];
    if (R3d.lighting != 0) {
        matrix_apply(R3d.NormalMatrix, R3d.normal[0], R3d.normal[1], R3d.normal[2], R3d.VertexNormals[n]);
    }
    R3d.vertexCount = n + 1;
}

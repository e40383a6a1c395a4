// The line rasterizer: depth-tested bands along the major axis, the minor
// axis in 16.16 fixed point.
//
// Depth: lines store trunc((z + 0.01) * 2048), about 20 units nearer than a
// polygon at the same z, and are drawn only where strictly nearer, so an
// outline beats its own fill while a second line at the same depth does not
// beat the first.
#include "render3d/raster.h"

#include "render3d/convert.h"

#include <algorithm>
#include <cmath>

namespace {

// The rows (or columns) a band of `width` pixels centred at `centre` covers,
// clipped to 0 .. limit - 1: from centre - floor(width / 2), width in all.
// Formed in 64 bits so that any width and centre are safe; an empty result
// has lo > hi.
void band_range(int32_t centre, uint32_t width, int32_t limit, int32_t& lo, int32_t& hi) {
    const int64_t start = int64_t(centre) - int64_t(width / 2);
    const int64_t end = start + int64_t(width) - 1;
    lo = int32_t(std::max<int64_t>(start, 0));
    hi = int32_t(std::min<int64_t>(end, limit - 1));
}

// One band of a line at one step: strict depth test, the full 32-bit depth
// compared, its low 16 bits stored. Inlined, and every pixel of the band
// written back whether or not it passes: the outcome of a line's depth test
// follows no pattern a branch predictor could learn, and no other thread
// owns a pixel of these rows.
[[gnu::always_inline]] inline void draw_band(uint8_t* target, uint8_t colour, int32_t depth, int32_t first,
                                             int32_t last, int32_t stride, int32_t offset) {
    for (int32_t k = first; k <= last; k++) {
        const int32_t index = k * stride + offset;
        const int32_t stored = R3d.DepthBuffer[index];
        // All ones where the line is nearer, else zero; a select written as
        // bit operations, which the compiler keeps free of branches.
        const int32_t nearer = -int32_t(stored < depth);
        target[index] = uint8_t((int32_t(colour) & nearer) | (int32_t(target[index]) & ~nearer));
        R3d.DepthBuffer[index] = int16_t((depth & nearer) | (stored & ~nearer));
    }
}

// Steps first ... last of a line whose bands need no clipping and whose
// minor axis does not wrap: a band runs BandStride apart across the step,
// a step moves StepStride along the line. The strides are constants, so a
// wide band across a row is one vector.
template <int32_t BandStride, int32_t StepStride>
void walk_unclipped(uint8_t* target, uint8_t colour, int32_t band, int32_t first, int32_t last, int32_t vFixed,
                    int32_t vFixedStep, int32_t depth, int32_t depthStep) {
    for (int32_t u = first; u <= last; u++) {
        // >> on a negative value rounds toward minus infinity.
        const int32_t lo = (vFixed >> 16) - band / 2;
        if (band == 2) {
            draw_band(target, colour, depth, lo, lo + 1, BandStride, u * StepStride);
        } else {
            draw_band(target, colour, depth, lo, lo + band - 1, BandStride, u * StepStride);
        }
        vFixed += vFixedStep;
        depth = r3d_advance(depth, depthStep, 1);
    }
}

// The walk of a line whose every band lies on the screen and, x-major, in
// the rows drawn, which is most of them: then no band needs clipping, and
// the common two-pixel band is two fixed pixels. The minor axis then never
// wraps: its first and last values bound all the others. False (nothing
// drawn) when some band would need clipping.
bool draw_unclipped(uint8_t* target, uint8_t colour, uint32_t width, bool xMajor, int32_t first, int32_t last,
                    int32_t vFixed, int32_t vFixedStep, int32_t depth, int32_t depthStep, int32_t firstRow,
                    int32_t lastRow) {
    const int64_t vLast = int64_t(vFixed) + int64_t(last - first) * vFixedStep;
    if (vLast < INT32_MIN || vLast > INT32_MAX) {
        return false;
    }
    // Floor division by 65536, as >> does.
    const int64_t centreFirst = int64_t(vFixed) >> 16;
    const int64_t centreLast = vLast >> 16;
    const int64_t lowestBand = std::min(centreFirst, centreLast) - int64_t(width / 2);
    const int64_t highestBand = std::max(centreFirst, centreLast) - int64_t(width / 2) + int64_t(width) - 1;
    const int32_t bandFirst = xMajor ? std::max(firstRow, 0) : 0;
    const int32_t bandLast = xMajor ? std::min(lastRow, FrameHeight - 1) : FrameWidth - 1;
    if (lowestBand < bandFirst || highestBand > bandLast) {
        return false;
    }
    if (xMajor) {
        walk_unclipped<FrameWidth, 1>(target, colour, int32_t(width), first, last, vFixed, vFixedStep, depth, depthStep);
    } else {
        walk_unclipped<1, FrameWidth>(target, colour, int32_t(width), first, last, vFixed, vFixedStep, depth, depthStep);
    }
    return true;
}

}  // namespace

// The line from a to b, clipped to the rows firstRow ... lastRow: an x-major
// line clips each step's vertical band, a y-major one skips the steps of the
// other rows (advancing the fixed-point values as the skipped steps would).
void r3d_line_rows(uint8_t* target, uint8_t colour, uint32_t width, const float* a, const float* b,
                   int32_t firstRow, int32_t lastRow) {
    const float x0 = a[0];
    const float x1 = b[0];
    const float y0 = a[1];
    const float y1 = b[1];
    float z0 = a[2];
    float z1 = b[2];
    if ((x0 < 0.0f && x1 < 0.0f) || (y0 < 0.0f && y1 < 0.0f)
        || (x0 >= float(FrameWidth) && x1 >= float(FrameWidth)) || (y0 >= float(FrameHeight) && y1 >= float(FrameHeight))) {
        return;
    }
    if (width == 0 || target == nullptr) {
        return;
    }
    const float dx = x1 - x0;
    const float dy = y1 - y0;
    const float dz = z1 - z0;
    z0 += 0.01f;
    z1 += 0.01f;
    const bool xMajor = std::fabs(dx) > std::fabs(dy);
    if (!xMajor && y0 == y1) {
        return;   // no length
    }
    // Walk the major axis from its smaller end; u is the major coordinate,
    // v the minor one. The steps are the same either way round.
    float u0 = xMajor ? x0 : y0;
    float u1 = xMajor ? x1 : y1;
    float v0 = xMajor ? y0 : x0;
    if (u0 > u1) {
        std::swap(u0, u1);
        v0 = xMajor ? y1 : x1;
        z0 = z1;
    }
    const float vStep = xMajor ? dy / dx : dx / dy;
    const float zStep = xMajor ? dz / dx : dz / dy;
    const int32_t minorLimit = xMajor ? FrameHeight : FrameWidth;
    int32_t first = r3d_trunc(u0 + 0.5f);
    const int32_t last = std::min(r3d_trunc(u1 + 0.5f), xMajor ? FrameWidth - 1 : lastRow);
    if (first > last) {
        return;
    }
    const int32_t lowest = xMajor ? 0 : firstRow;
    int32_t vFixed = r3d_trunc((v0 + 0.5f) * 65536.0f);
    const int32_t vFixedStep = r3d_trunc(vStep * 65536.0f);
    int32_t depth = r3d_trunc(z0 * 2048.0f);
    const int32_t depthStep = r3d_trunc(zStep * 2048.0f);
    if (first < lowest) {
        vFixed = r3d_advance(vFixed, vFixedStep, int64_t(lowest) - first);
        depth = r3d_advance(depth, depthStep, int64_t(lowest) - first);
        first = lowest;
    }
    if (draw_unclipped(target, colour, width, xMajor, first, last, vFixed, vFixedStep, depth, depthStep, firstRow,
                       lastRow)) {
        return;
    }
    // >> on a negative value rounds toward minus infinity.
    if (xMajor) {
        for (int32_t u = first; u <= last; u++) {
            int32_t lo;
            int32_t hi;
            band_range(vFixed >> 16, width, minorLimit, lo, hi);
            draw_band(target, colour, depth, std::max(lo, firstRow), std::min(hi, lastRow), FrameWidth, u);
            vFixed = r3d_advance(vFixed, vFixedStep, 1);
            depth = r3d_advance(depth, depthStep, 1);
        }
    } else {
        for (int32_t u = first; u <= last; u++) {
            int32_t lo;
            int32_t hi;
            band_range(vFixed >> 16, width, minorLimit, lo, hi);
            draw_band(target, colour, depth, lo, hi, 1, u * FrameWidth);
            vFixed = r3d_advance(vFixed, vFixedStep, 1);
            depth = r3d_advance(depth, depthStep, 1);
        }
    }
}


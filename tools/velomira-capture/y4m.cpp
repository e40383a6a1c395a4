#include "tools/velomira-capture/y4m.h"

#include <algorithm>
#include <cmath>

namespace {

uint8_t to_byte(double v)
{
    return uint8_t(std::clamp(std::lround(v), 0l, 255l));
}

// The same result as to_byte for a float sum scaled by 0.25, without the
// library call: such a value has at most 24 significant bits, so v + 0.5 is
// exact in double precision and truncating it rounds half away from zero
// exactly as lround does for v >= 0.
inline uint8_t average_to_byte(float sum)
{
    double v = sum * 0.25;
    if (v <= 0)
        return 0;
    if (v >= 255)
        return 255;
    return uint8_t(int32_t(v + 0.5));
}

} // namespace

void y4m_build_tables(Y4mTables& tables, const PaletteEntry* palette)
{
    for (int i = 0; i < 256; ++i) {
        double r = palette[i].r, g = palette[i].g, b = palette[i].b;
        tables.luma[i] = to_byte(0.299 * r + 0.587 * g + 0.114 * b);
        tables.cb[i] = float(128.0 - 0.168736 * r - 0.331264 * g + 0.5 * b);
        tables.cr[i] = float(128.0 + 0.5 * r - 0.418688 * g - 0.081312 * b);
        tables.cbFlat[i] = average_to_byte(tables.cb[i] + tables.cb[i] + tables.cb[i] + tables.cb[i]);
        tables.crFlat[i] = average_to_byte(tables.cr[i] + tables.cr[i] + tables.cr[i] + tables.cr[i]);
    }
}

std::string y4m_header(int32_t fps, int32_t width, int32_t height)
{
    // C420jpeg: chroma centred between the four luma samples it covers;
    // the colour range is full, as the conversion is.
    return "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" + std::to_string(fps) +
           ":1 Ip A1:1 C420jpeg XCOLORRANGE=FULL\n";
}

void y4m_convert_planes(const Y4mTables& tables, const uint8_t* pixels, int32_t width, int32_t height, uint8_t* y,
                        int32_t yStride, uint8_t* cb, uint8_t* cr, int32_t chromaStride)
{
    for (int32_t row = 0; row < height; ++row) {
        const uint8_t* in = pixels + size_t(row) * size_t(width);
        uint8_t* out = y + size_t(row) * size_t(yStride);
        for (int32_t x = 0; x < width; ++x)
            out[x] = tables.luma[in[x]];
    }
    for (int32_t row = 0; row < height; row += 2) {
        const uint8_t* top = pixels + size_t(row) * size_t(width);
        const uint8_t* bottom = top + width;
        uint8_t* cbRow = cb + size_t(row / 2) * size_t(chromaStride);
        uint8_t* crRow = cr + size_t(row / 2) * size_t(chromaStride);
        for (int32_t x = 0; x < width; x += 2) {
            uint8_t a = top[x], b = top[x + 1], c = bottom[x], d = bottom[x + 1];
            if (a == b && a == c && a == d) {
                cbRow[x / 2] = tables.cbFlat[a];
                crRow[x / 2] = tables.crFlat[a];
            } else {
                // Left to right in single precision: the order the output depends on.
                cbRow[x / 2] = average_to_byte(tables.cb[a] + tables.cb[b] + tables.cb[c] + tables.cb[d]);
                crRow[x / 2] = average_to_byte(tables.cr[a] + tables.cr[b] + tables.cr[c] + tables.cr[d]);
            }
        }
    }
}

void y4m_convert(const Y4mTables& tables, const uint8_t* pixels, uint8_t* out)
{
    uint8_t* cb = out + FramePixels;
    y4m_convert_planes(tables, pixels, FrameWidth, FrameHeight, out, FrameWidth, cb, cb + FramePixels / 4,
                       FrameWidth / 2);
}

bool y4m_frame(std::FILE* out, const Y4mTables& tables, const uint8_t* pixels, int32_t width, int32_t height,
               uint8_t* planes)
{
    size_t area = size_t(width) * size_t(height);
    uint8_t* cb = planes + area;
    y4m_convert_planes(tables, pixels, width, height, planes, width, cb, cb + area / 4, width / 2);
    std::fputs("FRAME\n", out);
    return std::fwrite(planes, 1, area * 3 / 2, out) == area * 3 / 2;
}

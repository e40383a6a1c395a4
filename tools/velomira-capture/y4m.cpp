#include "tools/velomira-capture/y4m.h"

#include <algorithm>
#include <cmath>

namespace {

uint8_t to_byte(double v)
{
    return uint8_t(std::clamp(std::lround(v), 0l, 255l));
}

} // namespace

void y4m_build_tables(Y4mTables& tables, const PaletteEntry* palette)
{
    for (int i = 0; i < 256; ++i) {
        double r = palette[i].r, g = palette[i].g, b = palette[i].b;
        tables.luma[i] = to_byte(0.299 * r + 0.587 * g + 0.114 * b);
        tables.cb[i] = float(128.0 - 0.168736 * r - 0.331264 * g + 0.5 * b);
        tables.cr[i] = float(128.0 + 0.5 * r - 0.418688 * g - 0.081312 * b);
    }
}

std::string y4m_header(int32_t fps)
{
    // C420jpeg: chroma centred between the four luma samples it covers;
    // the colour range is full, as the conversion is.
    return "YUV4MPEG2 W" + std::to_string(FrameWidth) + " H" + std::to_string(FrameHeight) + " F" +
           std::to_string(fps) + ":1 Ip A1:1 C420jpeg XCOLORRANGE=FULL\n";
}

void y4m_convert(const Y4mTables& tables, const uint8_t* pixels, uint8_t* out)
{
    uint8_t* luma = out;
    uint8_t* cb = out + FramePixels;
    uint8_t* cr = cb + FramePixels / 4;
    for (int32_t i = 0; i < FramePixels; ++i)
        luma[i] = tables.luma[pixels[i]];
    for (int32_t y = 0; y < FrameHeight; y += 2) {
        const uint8_t* top = pixels + y * FrameWidth;
        const uint8_t* bottom = top + FrameWidth;
        for (int32_t x = 0; x < FrameWidth; x += 2) {
            uint8_t a = top[x], b = top[x + 1], c = bottom[x], d = bottom[x + 1];
            *cb++ = to_byte((tables.cb[a] + tables.cb[b] + tables.cb[c] + tables.cb[d]) * 0.25);
            *cr++ = to_byte((tables.cr[a] + tables.cr[b] + tables.cr[c] + tables.cr[d]) * 0.25);
        }
    }
}

bool y4m_frame(std::FILE* out, const Y4mTables& tables, const uint8_t* pixels)
{
    static uint8_t planes[FramePixels * 3 / 2];
    y4m_convert(tables, pixels, planes);
    std::fputs("FRAME\n", out);
    return std::fwrite(planes, 1, sizeof planes, out) == sizeof planes;
}

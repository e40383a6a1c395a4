#include "tools/velomira-capture/sheet.h"

#include "playback/playback.h"
#include "show/offline.h"
#include "show/script.h"
#include "show/timeline.h"
#include "tools/velomira-capture/y4m.h"

#include <cstdio>

namespace {

// 5x7 glyphs, one byte per row, bit 4 the leftmost column: the characters
// a label uses.
struct Glyph {
    char c;
    uint8_t rows[7];
};

constexpr Glyph Font[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}}, {'b', {0x10, 0x10, 0x16, 0x19, 0x11, 0x11, 0x1E}},
    {'a', {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F}}, {'r', {0x00, 0x00, 0x16, 0x19, 0x10, 0x10, 0x10}},
    {'s', {0x00, 0x00, 0x0E, 0x10, 0x0E, 0x01, 0x1E}},
};

constexpr int32_t GlyphScale = 2;        // 10x14 pixels a character
constexpr int32_t GlyphAdvance = 6 * GlyphScale;
constexpr uint8_t LabelColour = 255;     // white on the black strip

void draw_text(Sheet& sheet, int32_t left, int32_t top, const std::string& text)
{
    int32_t x = left;
    for (char c : text) {
        for (const Glyph& glyph : Font) {
            if (glyph.c != c)
                continue;
            for (int32_t row = 0; row < 7; ++row)
                for (int32_t column = 0; column < 5; ++column) {
                    if (!(glyph.rows[row] & (0x10 >> column)))
                        continue;
                    for (int32_t dy = 0; dy < GlyphScale; ++dy)
                        for (int32_t dx = 0; dx < GlyphScale; ++dx) {
                            size_t py = size_t(top + row * GlyphScale + dy);
                            size_t px = size_t(x + column * GlyphScale + dx);
                            sheet.pixels[py * SheetWidth + px] = LabelColour;
                        }
                }
        }
        x += GlyphAdvance;
    }
}

} // namespace

std::vector<SheetStill> sheet_stills(int32_t fps)
{
    std::vector<SheetStill> stills;
    int64_t last = offline_last_frame(fps);
    int64_t frame = 0;
    for (int32_t k = 0; k < ShowScript.rows; ++k) {
        const ShowKeyframe& row = ShowScript.keyframes[k];
        // The first frame that sees the row's first bar.
        while (frame < last && song_bar(offline_song_position(offline_frame_ms(frame, fps))) < row.firstBar)
            ++frame;
        if (stills.empty() || stills.back().frame != frame)
            stills.push_back({frame, offline_frame_ms(frame, fps)});
    }
    if (stills.back().frame != last)
        stills.push_back({last, offline_frame_ms(last, fps)});
    return stills;
}

void sheet_start(Sheet& sheet, int32_t count)
{
    int32_t rows = (count + SheetColumns - 1) / SheetColumns;
    sheet.height = rows * SheetCellHeight;
    sheet.pixels.assign(size_t(SheetWidth) * size_t(sheet.height), 0);
}

std::string sheet_label(int32_t bar, int32_t ms)
{
    char text[48];
    std::snprintf(text, sizeof text, "bar %d  %d.%02d s", bar, ms / 1000, ms % 1000 / 10);
    return text;
}

void sheet_place(Sheet& sheet, int32_t index, const uint8_t* pixels, int32_t bar, int32_t ms)
{
    int32_t left = index % SheetColumns * SheetCellWidth;
    int32_t top = index / SheetColumns * SheetCellHeight;
    // Palette index is brightness here, so averaging indices averages grey.
    for (int32_t y = 0; y < SheetPictureHeight; ++y) {
        const uint8_t* upper = pixels + size_t(2 * y) * FrameWidth;
        const uint8_t* lower = upper + FrameWidth;
        uint8_t* out = sheet.pixels.data() + size_t(top + y) * SheetWidth + size_t(left);
        for (int32_t x = 0; x < SheetCellWidth; ++x)
            out[x] = uint8_t((upper[2 * x] + upper[2 * x + 1] + lower[2 * x] + lower[2 * x + 1] + 2) / 4);
    }
    draw_text(sheet, left + 6, top + SheetPictureHeight + 3, sheet_label(bar, ms));
}

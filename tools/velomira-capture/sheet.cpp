#include "tools/velomira-capture/sheet.h"

#include "playback/playback.h"
#include "render3d/r3d.h"   // the frame size
#include "show/offline.h"
#include "show/script.h"
#include "show/timeline.h"
#include "tools/common/font.h"

#include <cstdio>

namespace {

constexpr int32_t LabelScale = 2;        // 10x14 pixels a character
constexpr uint8_t LabelColour = 255;     // white on the black strip

void draw_text(Sheet& sheet, int32_t left, int32_t top, const std::string& text)
{
    font_draw(text, left, top, LabelScale,
              [&](int32_t x, int32_t y) { sheet.pixels[size_t(y) * SheetWidth + size_t(x)] = LabelColour; });
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

#include "tools/velomira-capture/sheet.h"

#include "playback/playback.h"
#include "render3d/r3d.h"   // the frame size
#include "show/offline.h"
#include "show/script.h"
#include "show/timeline.h"
#include "tools/common/font.h"

#include <algorithm>
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
    const int64_t last = offline_last_frame(fps);
    const int32_t beat = int32_t(SongSampleRate / BarClock.beatsPerSecond);
    int64_t frame = 0;
    for (int32_t k = 0; k < ShowScript.rows; ++k) {
        // Two beats into the section, or a quarter into a shorter one: by
        // then the section's own look has taken over from the last one's.
        const int32_t start = song_bar_start(ShowScript.keyframes[k].firstBar);
        const int32_t end = song_bar_start(k + 1 < ShowScript.rows ? ShowScript.keyframes[k + 1].firstBar
                                                                   : ShowScript.endBar);
        const int32_t at = start + std::min(2 * beat, (end - start) / 4);
        while (frame < last && offline_song_position(offline_frame_ms(frame, fps)) < at)
            ++frame;
        if (stills.empty() || stills.back().frame != frame)
            stills.push_back({frame, offline_frame_ms(frame, fps)});
    }
    return stills;
}

std::string sheet_title(const std::string& name, int32_t fps)
{
    char text[160];
    const int32_t ms = offline_frame_ms(offline_last_frame(fps), fps);
    std::snprintf(text, sizeof text, "velomira storyboard: %s  %.1f bpm  %d sections  %d:%02d", name.c_str(),
                  BarClock.beatsPerSecond * 60.0, ShowScript.rows, ms / 60000, ms / 1000 % 60);
    return text;
}

void sheet_start(Sheet& sheet, int32_t count, const std::string& title)
{
    int32_t rows = (count + SheetColumns - 1) / SheetColumns;
    sheet.height = SheetTitleHeight + rows * SheetCellHeight;
    sheet.pixels.assign(size_t(SheetWidth) * size_t(sheet.height), 0);
    // Cut to the sheet's width: a long score name must not run off it.
    const size_t fits = size_t((SheetWidth - 12) / (FontAdvance * LabelScale));
    draw_text(sheet, 6, (SheetTitleHeight - FontGlyphHeight * LabelScale) / 2, title.substr(0, fits));
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
    int32_t top = SheetTitleHeight + index / SheetColumns * SheetCellHeight;
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

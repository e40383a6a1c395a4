// The storyboard: a title line (the score, its tempo, its sections and the
// show's length), then one still from each keyframe section of the show (two
// beats into the section, or a quarter into a shorter one, so that each
// shows the section's own look rather than the cut into it), at half size
// in a grid, each labelled with its bar and show time in the tools' small
// bitmap font (tools/common/font.h), so the picture stays paletted with the
// show's own colours.
//
// The rows are the script being played (show/script.h: the score's own, or
// the built-in one). Order of use: once the score is loaded, sheet_stills
// for the frames to keep; while playing, when a kept frame is drawn,
// sheet_place it (with its bar); then write Sheet.pixels (SheetWidth x
// sheet height) as a paletted PNG.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SheetStill {
    int64_t frame = 0;
    int32_t ms = 0;   // show time of the frame
};

inline constexpr int32_t SheetColumns = 4;
inline constexpr int32_t SheetCellWidth = 320;
inline constexpr int32_t SheetPictureHeight = 240;
inline constexpr int32_t SheetLabelHeight = 20;
inline constexpr int32_t SheetCellHeight = SheetPictureHeight + SheetLabelHeight;
inline constexpr int32_t SheetTitleHeight = 28;
inline constexpr int32_t SheetWidth = SheetColumns * SheetCellWidth;

struct Sheet {
    int32_t height = 0;
    std::vector<uint8_t> pixels;   // SheetWidth x height palette indices
};

// The frames a storyboard shows at a frame rate, in order, without repeats.
std::vector<SheetStill> sheet_stills(int32_t fps);
// The title line for the score called name (the bar clock and the script
// being played give the rest).
std::string sheet_title(const std::string& name, int32_t fps);
// An empty (black) grid for count stills under the title.
void sheet_start(Sheet& sheet, int32_t count, const std::string& title);
// Puts a 640x480 frame, halved (2x2 averages), into cell index with the label
// "bar B  S.SS s".
void sheet_place(Sheet& sheet, int32_t index, const uint8_t* pixels, int32_t bar, int32_t ms);
// The label text, e.g. "bar 16  30.93 s".
std::string sheet_label(int32_t bar, int32_t ms);

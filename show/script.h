// The show's script: the keyframe rows the eight parameters glide through,
// the bar at which the show ends, and the last bars of the waveform cross
// and of the audio level. The embedded score plays the built-in script; any
// score may carry its own in show lines, which the music parser ignores
// (their head "show" is no tempo, instrument, pattern or track head):
//
//     show: row, 0,  127,102,0,0, -5,15,0,23   from bar 0 glide towards these
//     show: cross, 47                          the waveform cross up to bar 47
//     show: level, 47                          the ribbon follows the level up to bar 47
//     show: end, 59                            the show ends as bar 59 begins
//
// A row is its first bar and the eight targets t1..t8 (-128..127) for
// p1..p8 (timeline.h); rows come in increasing bars, at most ShowMaxRows.
// Rows given replace all the built-in ones; cross, level and end keep their
// built-in values unless given. Spaces and carriage returns are blanks, as
// in the rest of the score.
//
// Owns ShowScript, the script being played (the built-in one until a score's
// is read). Order of use: show_script_read on the score's text before the
// show starts; timeline.cpp and levels.cpp read ShowScript every frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One row: from its first bar until the next row's, p_k glides towards
// targets[k] * 10/256 (127 settles at about 4.96).
struct ShowKeyframe {
    int8_t firstBar;
    int8_t targets[8];
};

inline constexpr int32_t ShowMaxRows = 64;
inline constexpr int32_t ShowLastRenderedBar = 61;   // the pre-render stops as bar 61 begins

// The built-in script, the embedded score's show.
inline constexpr int32_t ShowKeyframeRows = 16;
inline constexpr int32_t ShowEndBar = 59;        // row 15 ends here; past it the show ends
inline constexpr int32_t ShowLastWaveBar = 47;   // the waveform cross and the level stop after it
inline constexpr ShowKeyframe ShowKeyframes[ShowKeyframeRows] = {
    {0, {127, 102, 0, 0, -5, 15, 0, 23}},
    {8, {50, 102, 51, 0, -33, 33, 0, 23}},
    {12, {50, 102, 51, 5, -7, -15, 0, 23}},
    {16, {0, 127, 51, 25, -17, 64, 12, 25}},
    {24, {0, -112, 0, 15, -10, 38, -17, 25}},
    {32, {25, 51, 35, 25, -12, 12, 0, 23}},
    {34, {0, 127, 51, 25, -17, 12, 25, 38}},
    {36, {0, 127, 51, 25, -17, -25, 25, 38}},
    {40, {25, 51, 35, 25, -10, 0, 25, 0}},
    {44, {-25, -51, 0, 25, -10, 0, 38, 0}},
    {46, {-25, -51, 0, 25, -7, 0, 115, 0}},
    {47, {-25, -51, 0, 25, -5, 12, 64, 0}},
    {48, {0, 0, 0, 25, -17, 64, 5, 25}},
    {56, {0, 0, 0, 0, -74, -89, 56, 25}},
    {57, {0, 0, 0, 0, 23, -89, 56, 25}},
    {58, {0, 0, 0, 0, 23, -89, 56, 0}},
};

struct ShowScriptState {
    int32_t rows = ShowKeyframeRows;
    ShowKeyframe keyframes[ShowMaxRows] = {
        ShowKeyframes[0], ShowKeyframes[1], ShowKeyframes[2], ShowKeyframes[3],
        ShowKeyframes[4], ShowKeyframes[5], ShowKeyframes[6], ShowKeyframes[7],
        ShowKeyframes[8], ShowKeyframes[9], ShowKeyframes[10], ShowKeyframes[11],
        ShowKeyframes[12], ShowKeyframes[13], ShowKeyframes[14], ShowKeyframes[15],
    };
    int32_t endBar = ShowEndBar;             // from this bar on the show ends
    int32_t lastCrossBar = ShowLastWaveBar;  // the waveform cross is drawn up to this bar
    int32_t lastLevelBar = ShowLastWaveBar;  // the ribbon follows the level up to this bar
    bool endGiven = false;                   // a show line set endBar
};
inline ShowScriptState ShowScript;

// A finding about a show line, in the checker's terms: the 1-based line, the
// line as written (blanks removed), the message, and whether the script is
// rejected by it (a note only otherwise).
struct ShowFinding {
    int32_t line = 0;
    std::string text;
    std::string message;
    bool rejection = false;
};

// Reads the show lines of a score's text (as read: blanks still in it) into
// script, starting from the built-in script. 0 when the text has no show
// lines or they are all good; -1 when a show line is rejected, with the
// findings appended to findings (when not null). script is filled either way.
int show_script_read(const std::string& text, ShowScriptState& script, std::vector<ShowFinding>* findings);

// The script as show lines that show_script_read reads back to the same
// script, with a comment naming the columns.
std::string show_script_text(const ShowScriptState& script);

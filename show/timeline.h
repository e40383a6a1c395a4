// Frame timeline: the keyframe table, the eight show parameters and the camera.
//
// Owns Show (ShowState): the show time and bar of the current call, the tick
// of the last drawn frame, the parameters p1 ... p8 (ShowParams[0] ... [7])
// and the accumulated spin. Interface: show_frame (show/show.h), once per
// frame-loop pass after show_levels; show_keyframe_row for the row a bar
// selects. Reset by assigning a fresh ShowState.
//
// What the parameters drive:
//   p1 p2 p3  tension, continuity, bias of the ribbon spline (show/ribbon.h)
//   p4        ribbon brightness
//   p5        camera distance (translation along z)
//   p6        tilt: rotation about x by -18 p6 degrees
//   p7        spin speed: 1.5 p7 degrees per drawn frame
//   p8        background grey level
#pragma once

#include <cstdint>

struct ShowState {
    float timeMs = 0;          // show time of the current call
    int32_t bar = 0;           // bar of the current call; show_levels reads it on the next pass
    int32_t lastTick = 1000;   // no tick drawn yet: the first call always draws
    float params[8] = {};      // p1 ... p8
    float spinAngle = 0;       // degrees about the view axis
};
inline ShowState Show;

// The names the rest of the show uses for the pieces of Show.
inline float& ShowTimeMs = Show.timeMs;
inline int32_t& ShowBar = Show.bar;
inline int32_t& LastTick = Show.lastTick;
inline float (&ShowParams)[8] = Show.params;
inline float& SpinAngle = Show.spinAngle;

// Where each parameter sits in ShowParams: p1 is ShowParams[ParamTension].
enum ShowParam : int32_t {
    ParamTension, ParamContinuity, ParamBias, ParamBrightness,
    ParamCameraDistance, ParamTilt, ParamSpinSpeed, ParamBackground,
};

// One row: from its first bar until the next row's, p_k glides towards
// targets[k] * 10/256 (127 settles at about 4.96).
struct ShowKeyframe {
    int8_t firstBar;
    int8_t targets[8];
};

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

// The row that applies at bar, or -1 from ShowEndBar on. Only the next row's
// first bar is compared, so any bar below 8 (negative ones too) is row 0.
int32_t show_keyframe_row(int32_t bar);

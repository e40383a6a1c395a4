// Frame timeline: the keyframe table, the eight show parameters and the camera.
//
// Owns Show (ShowState): the show time and bar of the current call, the tick
// of the last drawn frame, the parameters p1 ... p8 (ShowParams[0] ... [7])
// and the accumulated spin. Interface: show_frame (show/show.h), once per
// frame-loop pass after show_levels; show_keyframe_row for the row a bar
// selects (the rows, the end and the cross's last bar come from ShowScript,
// show/script.h). Reset by assigning a fresh ShowState.
//
// What the parameters drive:
//   p1 p2 p3  tension, continuity, bias of the ribbon spline (show/ribbon.h)
//   p4        ribbon brightness
//   p5        camera distance (translation along z)
//   p6        tilt: rotation about x by -18 p6 degrees
//   p7        spin speed: 1.5 p7 degrees per drawn frame
//   p8        background grey level
#pragma once

#include "show/script.h"

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

// The row of ShowScript that applies at bar, or -1 from its end bar on. Only
// the next row's first bar is compared, so any bar below row 1's (negative
// ones too) is row 0.
int32_t show_keyframe_row(int32_t bar);

// The waveform cross's line width. Nothing sets it back, and the polygon
// rasterizer reads it too: from the first cross on, the ribbons are drawn
// with it (deliberate; the pictures depend on it).
inline constexpr float ShowCrossLineWidth = 2.0f;

// What show_frame does to the show's state, without drawing: the time, the
// bar and the end request, then, when the tick is new, the glide towards the
// row and the spin. Returns whether the call is a drawn frame.
bool show_advance(int32_t ms);

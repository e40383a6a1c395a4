// Offline playback: the show at a fixed frame rate, without a display, an
// audio device or a clock, so that every run gives the same frames.
//
// Frame k has show time ms_k = ceil(k * 1000 / fps). Before it is drawn,
// SongPosition is set to the sample playing at ms_k and show_levels reads the
// window there; then show_frame draws it. The run ends with the first frame
// in which show_frame requests the end (that frame included). At 75 fps every
// frame is exactly one show tick.
//
// Order of use: render the music into the SongBuffer (demo_prerender), then
// offline_start, then offline_play_frame(pixels, k, fps) for k = 0, 1, 2, ...
// with the same pixel buffer, which must persist between frames (a frame that
// draws nothing keeps the previous picture). The other functions are pure.
#pragma once

#include <cstdint>

inline constexpr int32_t OfflineMaxFps = 75;

// Show time of frame k, in milliseconds.
int32_t offline_frame_ms(int64_t frame, int32_t fps);
// The sample playing at show time ms.
int32_t offline_song_position(int32_t ms);
// Index of the last frame: the first whose song position reaches the
// script's end bar (bar 59 in the built-in show).
int64_t offline_last_frame(int32_t fps);
// The frame on screen at a show time: the last k with ms_k <= ms.
int64_t offline_frame_at(int32_t ms, int32_t fps);

// Resets the show's state (timeline, ribbon, levels), the drawing context
// and QuitRequested, as at program start.
void offline_start();
// Plays frame k into pixels; returns true when the show requested its end.
bool offline_play_frame(uint8_t* pixels, int64_t frame, int32_t fps);

// From the start, brings the show's state to where playing frames 0 to
// `frame` leaves it, without drawing them: the parameters, spin, tick, bar
// and level are those of the played frames, so the next frame drawn is the
// same picture. A hundredth of the cost of playing them.
void offline_replay(int64_t frame, int32_t fps);

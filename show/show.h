// The visual show: what is drawn each frame, as a function of the music's bar
// and the show time.
//
// The frame loop calls, once per pass and in this order:
//   show_levels(window)   the 1024 samples playing now -> AudioWave, AudioLevel
//   show_frame(pixels, ms) draws at most one frame per 1/75 s of show time
// show_frame reads the bar from SongPosition and sets QuitRequested once the
// bar passes 58. The state behind them lives in show/timeline.h (keyframes,
// parameters, camera), show/ribbon.h (the ribbon object) and show/levels.h
// (waveform and level); show/offline.h plays the show at a fixed frame rate
// without a display.
#pragma once

#include <cstdint>

// Reads the 1024-sample window at samples: the waveform and the level.
void show_levels(const int16_t* samples);
// Draws one frame of the show at show time ms into a 640x480 8-bit buffer.
void show_frame(uint8_t* pixels, int32_t ms);

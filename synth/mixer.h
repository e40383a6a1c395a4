// The sequencer's per-track stages, shared by synth_render and the
// two-thread render (synth_render_parallel). Internal to synth/.
//
// A track's row steps, voice, instrument and echo line belong to that track
// alone, so different tracks may be rendered by different threads at once;
// only the final sum, which must add the tracks in order, joins them.
#pragma once

#include <cstdint>

// One row step of track t: advance through its pattern and play list, then
// act on the cell. Called when the song position is a multiple of RowLength.
void mixer_row_step(int32_t t);

// Adds track t's sound for n samples from song position `position` to mix
// (mix[k] += v, single precision). No row boundary may fall inside the n
// samples after the first.
void mixer_add_track(int32_t t, int32_t position, float* mix, int32_t n);

// Stores track t's values v for n samples into lane instead of adding them.
// In a sum that starts at 0.0 this is exact: 0.0 + v differs from v only for
// v = -0.0, and a running sum from +0.0 never becomes -0.0, so adding +0.0 or
// -0.0 to it gives the same result. A track without an instrument (only in a
// song the parser rejected) stores silence.
void mixer_store_track(int32_t t, int32_t position, float* lane, int32_t n);

// Clamps each sum to +-6.0 (NaN to -6.0), scales it to 16 bits and truncates.
void mixer_write_output(const float* mix, int16_t* out, int32_t n);

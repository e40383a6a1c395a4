// The sequencer's per-track stages, shared by synth_render, synth_render_heard
// and the two-thread render (synth_render_parallel). Internal to synth/.
//
// A renderer walks through the song with a MixerWalk: the voices and, per
// track, whether its echo line may hold sound. synth_render loads the global
// one (Synth.voices, Song.instruments[t].echoFed) at the start of a call and
// stores it back at the end; each thread of the two-thread render walks the
// whole song with its own copy, rendering some stretches and only stepping
// through the others (mixer_skip_tracks), so both copies pass through the
// same states.
//
// Order of calls for a run of samples that no row boundary cuts:
// mixer_row_steps at its first sample, then mixer_mix_tracks (or
// mixer_skip_tracks). Echo lines are shared: a track's line is read
// EchoLength - 1 samples after it is written, which is what lets two threads
// render neighbouring stretches at once (parallel_render.cpp).
#pragma once

#include "synth/synth.h"

#include <cstdint>

// Longest run mixer_mix_tracks takes in one call.
inline constexpr int32_t MixRunSamples = 1024;

struct MixerWalk {
    Voice voices[MaxVoices];
    bool echoFed[MaxVoices] = {};   // false: the line still holds only the +0.0 it was filled with
};

// The walk as synth_render left it, and back.
void mixer_walk_load(MixerWalk& walk);
void mixer_walk_store(const MixerWalk& walk);

// The row step of tracks first..last when `position` is a multiple of
// RowLength (nothing otherwise): advance through the pattern and play list,
// then act on the cell.
void mixer_row_steps(MixerWalk& walk, int32_t first, int32_t last, int32_t position);

// Where mixer_mix_tracks puts the tracks' values v. Each sum that is not null
// is set to 0.0 + v1 + v2 + ... over its tracks in track order, in single
// precision (up to the sign of a zero sum, which no output shows); it need
// not be cleared first.
struct MixTargets {
    float* all = nullptr;              // every track
    float* heard = nullptr;            // the tracks whose bit is set in heardMask
    uint32_t heardMask = 0;
    float* peaks = nullptr;            // indexed by track: raised to the track's largest |v|
    // When not null, indexed by track: what the run's first sample writes
    // into each echo line goes here instead of into the line, for the caller
    // to store there later (a stretch's first slot may still be read by the
    // stretch before it, rendered on the other thread).
    float* held = nullptr;
};

// Renders tracks first..last for n <= MixRunSamples samples from song
// position `position` into the targets. No row boundary may fall inside the
// n samples after the first. A track without an instrument (only in a song
// the parser rejected) adds nothing and measures 0.
void mixer_mix_tracks(MixerWalk& walk, int32_t first, int32_t last, int32_t position, int32_t n,
                      const MixTargets& to);

// What mixer_mix_tracks does to the walk, for any n, without reading a note
// or touching an echo line: the notes advance and end as they would.
void mixer_skip_tracks(MixerWalk& walk, int32_t first, int32_t last, int32_t n);

// Clamps each sum to +-6.0 (NaN to -6.0), scales it to 16 bits and truncates.
void mixer_write_output(const float* mix, int16_t* out, int32_t n);

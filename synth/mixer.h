// The sequencer's per-track stages, shared by synth_render, synth_render_heard
// and the two-thread render (synth_render_parallel). Internal to synth/.
//
// A track's row steps, voice, instrument and echo line belong to that track
// alone, so different tracks may be rendered by different threads at once;
// only the final sum, which must add the tracks in order, joins them.
#pragma once

#include "synth/synth.h"

#include <cstdint>

// Longest run mixer_mix_tracks takes in one call.
inline constexpr int32_t MixRunSamples = 1024;

// One row step of track t: advance through its pattern and play list, then
// act on the cell. Called when the song position is a multiple of RowLength.
void mixer_row_step(int32_t t);

// Where mixer_mix_tracks puts the tracks' values v. Each sum that is not null
// gets mix[k] = mix[k] + v for its tracks, one track after the other in track
// order, in single precision: a sum started at 0.0 and carried through tracks
// first..last is bit for bit one carried through all of them at once.
struct MixTargets {
    float* all = nullptr;              // every track
    float* heard = nullptr;            // the tracks whose bit is set in heardMask
    uint32_t heardMask = 0;
    float* peaks = nullptr;            // indexed by track: raised to the track's largest |v|
};

// Renders tracks first..last for n <= MixRunSamples samples from song
// position `position` into the targets. No row boundary may fall inside the
// n samples after the first. A track without an instrument (only in a song
// the parser rejected) adds nothing and measures 0.
void mixer_mix_tracks(int32_t first, int32_t last, int32_t position, int32_t n, const MixTargets& to);

// The same work in two stages, which may run on different threads one run
// apart: mixer_read_tracks advances the playing voices through n samples of
// their notes, writing each track t's instrument samples to
// rows[t - first] + offset, and records in run what mixer_deliver_tracks
// then needs to put the tracks through their echo lines into the targets
// (whose sums point at the run's first sample). The row steps before a run
// go with the first stage; the echo lines belong to the second.
struct NoteRun {
    int32_t position = 0;
    int32_t offset = 0;                // of the run in the rows
    int32_t n = 0;
    int32_t sounded[MaxVoices] = {};   // samples of the row that the note sounded (0: none)
    float volume[MaxVoices] = {};      // the voices' volume and echo switch during the run
    uint8_t echoOn[MaxVoices] = {};
};
void mixer_read_tracks(int32_t first, int32_t last, int32_t position, int32_t n, float* const* rows,
                       int32_t offset, NoteRun& run);
void mixer_deliver_tracks(int32_t first, int32_t last, const NoteRun& run, const float* const* rows,
                          const MixTargets& to);

// Clamps each sum to +-6.0 (NaN to -6.0), scales it to 16 bits and truncates.
void mixer_write_output(const float* mix, int16_t* out, int32_t n);

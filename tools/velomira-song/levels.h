// The levels of a take, for check and render: the peak of every played
// track and of the mix, the samples that clip, the tracks that drive the
// mix into the limit and the bars where it happens, and the loudness of the
// mix (integrated, ITU-R BS.1770, through libebur128).
//
// The mix clips where the sum of the heard tracks reaches the ±6.0 limit,
// which the output writes as ±32766. A track on its own clips where its own
// value does; only tracks whose peak (from the take's windows) reaches the
// limit are rendered alone to count those samples, so measuring a score
// that does not clip costs no render beyond the take's.
//
// Owns no state. Order of use: take_render with every track heard, then
// levels_measure (which may parse and render the score again, so the Song
// is the last such render's), then levels_report and levels_clip_warning
// for the words. render counts its clipping as it writes (levels_count),
// and levels_clip_line words it.
#pragma once

#include "take.h"

#include <cstdint>
#include <string>
#include <vector>

// Above this share of clipped samples the mix's clipping is a warning.
inline constexpr double ClipWarningShare = 0.001;

struct TrackLevel {
    int32_t track = 0;
    float peak = 0;          // largest |value|, mix units (6.0 is full scale)
    int64_t clipped = 0;     // samples at the limit when heard alone
    int64_t driven = 0;      // clipped mix samples where this track was the loudest
};

struct Levels {
    int64_t samples = 0;
    int32_t mixPeak = 0;        // largest |sample| of the mix, out of 32766
    int64_t mixClipped = 0;     // mix samples at the limit
    double loudness = 0;        // LUFS; -HUGE_VAL for silence
    std::vector<TrackLevel> tracks;      // 1 .. played
    std::vector<int32_t> clippedBars;    // bars holding clipped mix samples, ascending
};

// Measures take, rendered from text (named `name`) with every track heard.
Levels levels_measure(const std::string& name, const std::string& text, const Take& take);

// The check's report: a line for the mix, one for the tracks. No final line feed.
std::string levels_report(const Levels& levels);

// When the mix clips above ClipWarningShare: the warning, naming the tracks
// that drive it and the bars; empty otherwise.
std::string levels_clip_warning(const Levels& levels);

// The mix's clipped samples in samples[0, count), which start at song
// position `start`, added to levels (mixPeak, mixClipped, clippedBars, by
// the bar clock of the parsed Song).
void levels_count(Levels& levels, const int16_t* samples, int32_t count, int64_t start);

// render's one line when anything clips (samples counted by levels_count);
// empty otherwise.
std::string levels_clip_line(const Levels& levels);

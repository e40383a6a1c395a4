#include "levels.h"

#include "playback/playback.h"
#include "synth/song.h"
#include "synth/synth.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

constexpr int32_t ClipSample = 32766;   // what a clamped ±6.0 is written as
constexpr float TrackLimit = 6.0f;

std::string decibels(double ratio)
{
    if (ratio <= 0)
        return "silent";
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f dBFS", 20.0 * std::log10(ratio));
    return text;
}

std::string share(int64_t part, int64_t whole)
{
    char text[32];
    const double percent = whole > 0 ? 100.0 * double(part) / double(whole) : 0.0;
    // Three decimals below 1%, so that a share just above the warning's
    // 0.1% does not read as 0.10%.
    if (part > 0 && percent < 0.001)
        return "<0.001%";
    std::snprintf(text, sizeof text, percent < 1 ? "%.3f%%" : "%.1f%%", percent);
    return text;
}

std::string counted(int64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "bars 1-8, 12, 20-21" from ascending bar numbers.
std::string bar_ranges(const std::vector<int32_t>& bars)
{
    std::string text = bars.size() == 1 ? "bar " : "bars ";
    for (size_t i = 0; i < bars.size();) {
        size_t j = i;
        while (j + 1 < bars.size() && bars[j + 1] == bars[j] + 1)
            ++j;
        if (i)
            text += ", ";
        text += std::to_string(bars[i]);
        if (j > i) {
            text += '-';
            text += std::to_string(bars[j]);
        }
        i = j + 1;
    }
    return text;
}

// Integrated loudness of the mix, LUFS.
double loudness(const std::vector<int16_t>& samples)
{
    std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> state(
        ebur128_init(1, unsigned(SongSampleRate), EBUR128_MODE_I),
        [](ebur128_state* s) { ebur128_destroy(&s); });
    double lufs = -HUGE_VAL;
    if (state && ebur128_add_frames_short(state.get(), samples.data(), samples.size()) == EBUR128_SUCCESS)
        ebur128_loudness_global(state.get(), &lufs);
    return lufs;
}

// The track with the largest peak in window w: the one that drives a clipped sample there.
int32_t loudest_track(const Take& take, size_t w)
{
    int32_t loudest = 1;
    for (int32_t t = 2; t <= take.played; ++t)
        if (take.peaks[w * MaxVoices + size_t(t)] > take.peaks[w * MaxVoices + size_t(loudest)])
            loudest = t;
    return loudest;
}

void add_bar(std::vector<int32_t>& bars, int32_t bar)
{
    const auto at = std::lower_bound(bars.begin(), bars.end(), bar);
    if (at == bars.end() || *at != bar)
        bars.insert(at, bar);
}

}   // namespace

void levels_count(Levels& levels, const int16_t* samples, int32_t count, int64_t start)
{
    levels.samples += count;
    // A stretch's largest magnitude first, in a loop without branches; only
    // a stretch that reaches the limit is walked sample by sample.
    constexpr int32_t Stretch = 1024;
    for (int32_t from = 0; from < count; from += Stretch) {
        const int32_t to = std::min(count, from + Stretch);
        int32_t largest = 0;
        for (int32_t i = from; i < to; ++i)
            largest = std::max(largest, std::abs(int32_t(samples[i])));
        levels.mixPeak = std::max(levels.mixPeak, std::min(largest, ClipSample));
        if (largest < ClipSample)
            continue;
        for (int32_t i = from; i < to; ++i)
            if (std::abs(int32_t(samples[i])) >= ClipSample) {
                ++levels.mixClipped;
                add_bar(levels.clippedBars, song_bar(int32_t(std::min<int64_t>(start + i, INT32_MAX))));
            }
    }
}

Levels levels_measure(const std::string& name, const std::string& text, const Take& take)
{
    Levels levels;
    song_bar_follow(take.rowLength);
    levels_count(levels, take.samples.data(), take.length(), 0);
    levels.loudness = loudness(take.samples);
    levels.tracks.resize(size_t(take.played));
    for (int32_t t = 1; t <= take.played; ++t) {
        TrackLevel& track = levels.tracks[size_t(t - 1)];
        track.track = t;
        for (size_t w = 0; w * MaxVoices < take.peaks.size(); ++w)
            track.peak = std::max(track.peak, take.peaks[w * MaxVoices + size_t(t)]);
    }
    for (int32_t i = 0; i < take.length() && take.played > 0; ++i)
        if (std::abs(int32_t(take.samples[size_t(i)])) >= ClipSample)
            ++levels.tracks[size_t(loudest_track(take, size_t(i) / PeakWindowSamples) - 1)].driven;
    // A track that reaches the limit on its own is heard alone to count where.
    for (TrackLevel& track : levels.tracks) {
        if (track.peak < TrackLimit)
            continue;
        Take alone;
        std::string message;
        if (take_render(name, text, take.length(), 1u << track.track, alone, message) < 0)
            continue;
        for (int16_t s : alone.samples)
            track.clipped += std::abs(int32_t(s)) >= ClipSample;
    }
    return levels;
}

std::string levels_report(const Levels& levels)
{
    std::string mix = "levels: mix peak " + decibels(double(levels.mixPeak) / ClipSample) + ", " +
                      counted(levels.mixClipped, "sample", "samples") + " clipped (" +
                      share(levels.mixClipped, levels.samples) + ")";
    if (std::isfinite(levels.loudness)) {
        char lufs[32];
        std::snprintf(lufs, sizeof lufs, ", loudness %.1f LUFS", levels.loudness);
        mix += lufs;
    }
    std::string tracks = "track peaks:";
    for (const TrackLevel& t : levels.tracks) {
        tracks += t.track > 1 ? ", " : " ";
        tracks += std::to_string(t.track) + " " + decibels(t.peak / TrackLimit);
        if (t.clipped)
            tracks += " (" + share(t.clipped, levels.samples) + " clipped alone)";
    }
    return levels.tracks.empty() ? mix : mix + "\n" + tracks;
}

std::string levels_clip_warning(const Levels& levels)
{
    if (levels.samples == 0 || double(levels.mixClipped) <= ClipWarningShare * double(levels.samples))
        return "";
    // The tracks loudest where the mix clips, most first; those under a
    // tenth of the clipped samples are not named.
    std::vector<TrackLevel> drivers;
    for (const TrackLevel& t : levels.tracks)
        if (t.driven * 10 >= levels.mixClipped)
            drivers.push_back(t);
    if (drivers.empty())
        drivers.push_back(*std::max_element(levels.tracks.begin(), levels.tracks.end(),
                                            [](const TrackLevel& a, const TrackLevel& b) { return a.driven < b.driven; }));
    std::stable_sort(drivers.begin(), drivers.end(),
                     [](const TrackLevel& a, const TrackLevel& b) { return a.driven > b.driven; });
    std::string names;
    for (size_t i = 0; i < drivers.size(); ++i) {
        names += i == 0 ? "" : i + 1 == drivers.size() ? " and " : ", ";
        names += std::to_string(drivers[i].track);
    }
    return "the mix clips in " + share(levels.mixClipped, levels.samples) + " of its samples (" +
           std::to_string(levels.mixClipped) + "), driven by track" + (drivers.size() == 1 ? " " : "s ") + names +
           ", in " + bar_ranges(levels.clippedBars) +
           ": the mix is limited to ±6.0; lower those tracks' volume (vol) or their instruments' level";
}

std::string levels_clip_line(const Levels& levels)
{
    if (levels.mixClipped == 0)
        return "";
    return "the mix clips in " + counted(levels.mixClipped, "sample", "samples") + " (" +
           share(levels.mixClipped, levels.samples) + "), in " + bar_ranges(levels.clippedBars) +
           "; velomira-song check names the tracks that drive it";
}

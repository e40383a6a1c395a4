// A take: one rendering of a score for listening and looking, made by the
// two-thread render, with the level of every track in every window of
// PeakWindowSamples samples. play and look share it; play keeps the last
// good take playing while the next one is rendered.
#pragma once

#include "playback/playback.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr int32_t RowsPerBar = 16;   // four beats of four rows

// The instruments' sounds are rendered while the score is parsed, at about
// 70 ns a sample: all of them together may be as long as the longest one may
// be (380 s at 44100 Hz), which renders in a second or two and 64 MB. A score
// at the format's limits (30 of those, 2 GB) would take most of a minute.
inline constexpr int64_t MaxTakeInstrumentSamples = int64_t(1) << 24;

struct Take {
    std::vector<int16_t> samples;   // what is heard: the mix of the heard tracks
    std::vector<float> peaks;       // [window * MaxVoices + track], mix units (6.0 = full scale)
    int32_t played = 0;             // tracks 1..played sound
    int32_t rowLength = 0;          // samples per row; 0 for a song without tempo
    BarClockState clock;            // the show's bars at the score's tempo
    std::string warning;            // the first warning about a line of the score, if any
    int32_t length() const { return int32_t(samples.size()); }
    // First sample of a bar, as the show counts bars (song_bar); the take's
    // length for a bar past its end.
    int32_t bar_start(int64_t bar) const
    {
        return bar >= int64_t(length()) ? length() : std::min(song_bar_start_at(clock, int32_t(bar)), length());
    }
    int32_t bar_of(int32_t position) const { return song_bar_at(clock, position); }
};

// Parses text (named `name` in messages) from a fresh synthesizer and renders
// `length` samples with the tracks whose bit is set in heard; length 0: the
// score's own length, to the start of its show's end bar, or one bar past the
// bar of its last row when its music stops earlier and no show line sets the
// end (never past the demo's bar 61). On a
// rejected score, one whose instruments together are longer than
// MaxTakeInstrumentSamples, or one longer than ten minutes, returns -1 with
// the message; take is then unchanged. May throw std::bad_alloc.
int take_render(const std::string& name, const std::string& text, int32_t length, uint32_t heard, Take& take,
                std::string& message);

// "A:B" into bars, decimal, 0 <= A < B; -1 with a message naming option.
// The range is checked against a take by its user.
int take_read_bars(const char* option, const std::string& text, int64_t& first, int64_t& end, std::string& message);

// The tracks chosen by --solo and --mute (play and render take the same).
struct TrackChoice {
    uint32_t solo = 0, mute = 0;   // bit t: track t named
    bool soloGiven = false;
    std::string soloText, muteText;   // as written, for messages
    // All tracks, or the soloed ones, less the muted ones.
    uint32_t heard() const { return (soloGiven ? solo : ~0u) & ~mute; }
};

// Reads the lists as written ("3,5,7", decimal, tracks 1 to 29); a list not
// given is nullptr. -1 with a message naming the option: a number that is
// not a track, or a track both soloed and muted.
int take_read_choice(const std::string* solo, const std::string* mute, TrackChoice& choice, std::string& message);

// Every track named must be played by the score (tracks 1..played); -1
// with a message naming the option and the tracks the score plays.
int take_check_choice(const TrackChoice& choice, int32_t played, std::string& message);

#include "take.h"

#include "driver/demo.h"
#include "driver/score_check.h"
#include "show/script.h"
#include "playback/playback.h"
#include "synth/score_file.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tools/common/numbers.h"

#include <algorithm>
#include <vector>

namespace {

// The length of all instruments' sounds together, from a parse that renders
// nothing (as the checker's), so that it costs little for any text.
int64_t instrument_samples(const std::string& text)
{
    synth_reset();
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    song_parse_checked(copy.data(), nullptr, false);
    int64_t total = 0;
    for (const Instrument& instrument : Song.instruments)
        total += instrument.sampleLength;
    return total;
}

// The bar a take of the parsed Song ends at, as the score itself asks: its
// show's end (show lines, or the demo's), unless the music stops before a
// show of the demo's would: then one bar after the bar of its last row,
// for the last notes and echoes to ring out. Never past the bars the demo
// renders.
int32_t own_end_bar(const std::string& text)
{
    ShowScriptState script;
    show_script_read(text, script, nullptr);
    song_bar_follow(Song.RowLength);
    const int32_t musicLast = song_played_tracks() > 0 ? score_music_last_bar() : 0;
    int32_t end = script.endBar;
    if (musicLast >= 0 && !script.endGiven)
        end = musicLast + 2;
    return std::clamp(end, 1, PrerenderLastBar + 1);
}

}   // namespace

int take_render(const std::string& name, const std::string& text, int32_t length, uint32_t heard, Take& take,
                std::string& message)
{
    const int64_t instruments = instrument_samples(text);
    if (instruments > MaxTakeInstrumentSamples) {
        message = name + ": error: the instruments' sounds are " + std::to_string(instruments) +
                  " samples long together, more than the " + std::to_string(MaxTakeInstrumentSamples) + " (" +
                  std::to_string(MaxTakeInstrumentSamples / SongSampleRate) +
                  " s of sound) that render in reasonable time";
        return -1;
    }
    synth_reset();
    if (score_parse_text(name, text, message) < 0)
        return -1;
    const BarClockState clock = bar_clock_for(Song.RowLength);
    if (length <= 0) {
        const int32_t endBar = own_end_bar(text);
        const int64_t samples = song_bar_start_at(clock, endBar);
        if (samples > SongBufferCapacity) {
            message = name + ": error: at this tempo the show's bar " + std::to_string(endBar) +
                      " comes after ten minutes, the longest a song may be";
            return -1;
        }
        length = int32_t(std::max<int64_t>(samples, 1));
    }
    take.played = song_played_tracks();
    take.rowLength = Song.RowLength;
    take.clock = clock;
    take.samples.assign(size_t(length), 0);
    take.peaks.assign(size_t((length + PeakWindowSamples - 1) / PeakWindowSamples) * MaxVoices, 0.0f);
    synth_render_parallel(take.samples.data(), length, heard, take.peaks.data());
    return 0;
}

namespace {

// "3,5,7" into a track mask; -1 with a message.
int parse_tracks(const char* option, const std::string& list, uint32_t& mask, std::string& message)
{
    mask = 0;
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(',', at);
        if (end == std::string::npos)
            end = list.size();
        const std::string item = list.substr(at, end - at);
        int64_t t = 0;
        if (!parse_decimal(item, t) || t < 1 || t >= MaxVoices) {
            message = std::string(option) + " " + list + ": \"" + item + "\" is not a track number (1 to 29)";
            return -1;
        }
        mask |= 1u << t;
        at = end + 1;
    }
    return 0;
}

int32_t lowest_track(uint32_t mask)
{
    int32_t t = 1;
    while (!(mask >> t & 1u))
        ++t;
    return t;
}

}   // namespace

int take_read_bars(const char* option, const std::string& text, int64_t& first, int64_t& end, std::string& message)
{
    const size_t colon = text.find(':');
    int64_t a = 0, b = 0;
    if (colon == std::string::npos || !parse_decimal(text.substr(0, colon), a) ||
        !parse_decimal(text.substr(colon + 1), b) || a < 0 || b <= a) {
        message = std::string(option) + " " + text +
                  ": give bars A:B, decimal numbers with 0 <= A < B (bar B is not " +
                  (std::string(option) == "--loop" ? "played)" : "included)");
        return -1;
    }
    first = a;
    end = b;
    return 0;
}

int take_read_choice(const std::string* solo, const std::string* mute, TrackChoice& choice, std::string& message)
{
    choice = TrackChoice{};
    if ((solo && parse_tracks("--solo", *solo, choice.solo, message) < 0) ||
        (mute && parse_tracks("--mute", *mute, choice.mute, message) < 0))
        return -1;
    choice.soloGiven = solo != nullptr;
    choice.soloText = solo ? *solo : "";
    choice.muteText = mute ? *mute : "";
    if (const uint32_t both = choice.solo & choice.mute) {
        message = "--solo and --mute both name track " + std::to_string(lowest_track(both)) +
                  ": a track is either heard or not";
        return -1;
    }
    return 0;
}

int take_check_choice(const TrackChoice& choice, int32_t played, std::string& message)
{
    const uint32_t playedMask = played >= MaxVoices - 1 ? ~1u : ((1u << (played + 1)) - 1) & ~1u;
    const std::string plays = played == 0   ? "the score plays no track"
                              : played == 1 ? "the score plays only track 1"
                                            : "the score plays tracks 1 to " + std::to_string(played);
    auto refuse = [&](const char* option, const std::string& text, uint32_t mask) {
        if (!(mask & ~playedMask))
            return false;
        message = std::string(option) + " " + text + ": track " + std::to_string(lowest_track(mask & ~playedMask)) +
                  " is not played; " + plays;
        return true;
    };
    return refuse("--solo", choice.soloText, choice.solo) || refuse("--mute", choice.muteText, choice.mute) ? -1 : 0;
}

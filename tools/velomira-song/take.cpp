#include "take.h"

#include "driver/demo.h"
#include "playback/playback.h"
#include "synth/score_file.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tools/common/numbers.h"

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
        const int64_t samples = int64_t(PrerenderBlockSamples) *
                                ((song_bar_start_at(clock, PrerenderLastBar + 1) + PrerenderBlockSamples - 1) /
                                 PrerenderBlockSamples);
        if (samples > SongBufferCapacity) {
            message = name + ": error: at this tempo the show's bar 61 comes after ten minutes, the longest a "
                             "song may be";
            return -1;
        }
        length = int32_t(samples);
    }
    take.played = song_played_tracks();
    take.rowLength = Song.RowLength;
    take.clock = clock;
    take.samples.assign(size_t(length), 0);
    take.peaks.assign(size_t((length + PeakWindowSamples - 1) / PeakWindowSamples) * MaxVoices, 0.0f);
    synth_render_parallel(take.samples.data(), length, heard, take.peaks.data());
    return 0;
}

int take_parse_tracks(const std::string& list, uint32_t& mask, std::string& message)
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
            message = "\"" + item + "\" is not a track number (1 to 29)";
            return -1;
        }
        mask |= 1u << t;
        at = end + 1;
    }
    return 0;
}

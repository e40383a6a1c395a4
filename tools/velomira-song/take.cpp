#include "take.h"

#include "playback/playback.h"
#include "synth/embedded_song.h"
#include "synth/score_file.h"
#include "synth/song.h"
#include "synth/synth.h"

#include <cstdlib>

int take_render(const std::string& name, const std::string& text, int32_t length, uint32_t heard, Take& take,
                std::string& message)
{
    Song = SongState{};
    Synth = SynthState{};
    synth_init(44100);
    if (score_parse_text(name, text, message) < 0)
        return -1;
    take.played = song_played_tracks();
    take.rowLength = Song.RowLength;
    take.samples.assign(size_t(length), 0);
    take.peaks.assign(size_t((length + PeakWindowSamples - 1) / PeakWindowSamples) * MaxVoices, 0.0f);
    synth_render_parallel(take.samples.data(), length, heard, take.peaks.data());
    return 0;
}

int take_read_score(const std::string& path, std::string& text, std::string& message)
{
    if (path == "-") {
        text = EmbeddedSong;
        return 0;
    }
    return score_read(path, text, message);
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
        char* stop = nullptr;
        const long t = std::strtol(item.c_str(), &stop, 10);
        if (item.empty() || *stop != '\0' || t < 1 || t >= MaxVoices) {
            message = "\"" + item + "\" is not a track number (1 to 29)";
            return -1;
        }
        mask |= 1u << t;
        at = end + 1;
    }
    return 0;
}

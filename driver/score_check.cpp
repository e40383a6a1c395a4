#include "driver/score_check.h"

#include "driver/demo.h"
#include "playback/playback.h"
#include "show/script.h"
#include "synth/note_table.h"
#include "synth/synth.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace {

constexpr int32_t FarApart = 4;   // bars between the show's end and the music's

// Rows a track plays before it ends, or -1 when it loops. Each pattern takes
// a row per cell, a command and its number one row, an empty pattern one.
int64_t track_rows(const Track& track)
{
    int64_t rows = 0;
    for (size_t e = 0; e < track.size() && track[e] != TrackEnd; ++e) {
        if (track[e] == TrackLoop)
            return -1;
        const Pattern& pattern = Song.patterns[size_t(track[e])];
        int64_t cells = 0;
        for (size_t c = 0; c < pattern.size() && pattern[c] != PatternEnd; ++c, ++cells)
            c += pattern[c] == CmdSld || pattern[c] == CmdVol;
        rows += std::max<int64_t>(cells, 1);
    }
    return rows;
}

}   // namespace

int32_t score_music_last_bar()
{
    int64_t longest = 0;
    for (int32_t t = 1; t <= song_played_tracks(); ++t) {
        const int64_t rows = track_rows(Song.tracks[t]);
        if (rows < 0)
            return -1;
        longest = std::max(longest, rows);
    }
    return song_bar(int32_t(std::min<int64_t>(longest * Song.RowLength, INT32_MAX)));
}

namespace {

// The show lines, the song's length at its tempo, and a note when the show
// and the music end far apart (after a parse of the music).
bool check_show(const std::string& text, std::vector<SongDiagnostic>& notes)
{
    ShowScriptState script;
    std::vector<ShowFinding> findings;
    bool ok = show_script_read(text, script, &findings) == 0;
    for (const ShowFinding& f : findings)
        notes.push_back({f.line, f.text, f.message, f.rejection});
    song_bar_follow(Song.RowLength);
    std::string reason;
    if (demo_size_song(reason) < 0) {
        notes.push_back({0, "", reason, true});
        ok = false;
    }
    const int32_t musicBar = Song.RowLength > 0 && song_played_tracks() > 0 ? score_music_last_bar() : -1;
    if (ok && musicBar >= 0 && script.endBar > musicBar + FarApart)
        notes.push_back({0, "", "the show ends at bar " + std::to_string(script.endBar) + ", " +
                                    std::to_string(script.endBar - musicBar) + " bars after the music's last row (bar " +
                                    std::to_string(musicBar) + ")", false});
    if (ok && musicBar > script.endBar + FarApart)
        notes.push_back({0, "", "the show ends at bar " + std::to_string(script.endBar) +
                                    " while the music plays on to bar " + std::to_string(musicBar), false});
    return ok;
}

// The music's findings: bytes that cannot be a score are one rejection.
bool check_music(const std::string& text, std::vector<SongDiagnostic>& notes, bool& plainText)
{
    synth_reset();
    SongDiagnostic problem;
    plainText = song_bytes_check(text.data(), text.size(), problem);
    if (!plainText) {
        notes.push_back(problem);
        return false;
    }
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return song_parse_checked(copy.data(), &notes, false) == 0;
}

}   // namespace

ScoreCheck score_check_text(const std::string& text)
{
    ScoreCheck check;
    std::vector<SongDiagnostic> notes;
    bool plainText = false;
    check.valid = check_music(text, notes, plainText);
    if (plainText)
        check.valid &= check_show(text, notes);
    check.played = song_played_tracks();

    // In line order, as an editor shows them; findings about the whole text
    // (line 0) after the lines'.
    std::stable_sort(notes.begin(), notes.end(), [](const SongDiagnostic& a, const SongDiagnostic& b) {
        return uint32_t(a.line - 1) < uint32_t(b.line - 1);
    });
    std::vector<int32_t> times(notes.size(), 0);
    std::map<std::tuple<int32_t, bool, std::string>, size_t> first;
    for (size_t i = 0; i < notes.size(); ++i)
        ++times[first.try_emplace({notes[i].line, notes[i].rejection, notes[i].message}, i).first->second];
    for (size_t i = 0; i < notes.size(); ++i)
        if (times[i] > 0) {
            check.findings.push_back({notes[i], times[i]});
            check.warnings += !notes[i].rejection;
        }
    return check;
}

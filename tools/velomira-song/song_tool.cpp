#include "song_tool.h"

#include "playback/playback.h"
#include "driver/demo.h"
#include "show/script.h"
#include "synth/embedded_song.h"
#include "synth/note_table.h"
#include "synth/score_file.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tools/common/exit_status.h"
#include "tools/common/output_file.h"
#include "tools/common/progress.h"
#include "tools/common/signals.h"
#include "tools/common/sound_output.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <ostream>
#include <tuple>
#include <vector>

namespace {

constexpr int32_t Block = 1024;

// A score as read: its name for messages, its original text (to quote lines
// as the musician wrote them), and whether it could be read at all.
struct Score {
    std::string name;
    std::string text;
    bool readable = false;
};

Score read_score(const std::string& song, std::ostream& err)
{
    Score score;
    score.name = score_name(song);
    std::string message;
    score.readable = score_read(song, score.text, message) == 0;
    if (!score.readable)
        err << message << "\n";
    return score;
}

void print_diagnostic(const Score& score, const std::vector<size_t>& starts, const SongDiagnostic& d,
                      std::ostream& out, int32_t times = 1)
{
    out << score_message(score.name, score.text, starts, d, times) << "\n";
}

// Fresh synthesizer and song, then the parse; the text is copied because the
// parser works in place.
// render false: only check (no instrument is rendered). Bytes that cannot be
// a score are one rejection.
int parse_score(const Score& score, std::vector<SongDiagnostic>& notes, bool render)
{
    synth_reset();
    SongDiagnostic problem;
    if (!song_bytes_check(score.text.data(), score.text.size(), problem)) {
        notes.push_back(problem);
        return -1;
    }
    std::vector<char> text(score.text.begin(), score.text.end());
    text.push_back('\0');
    return song_parse_checked(text.data(), &notes, render);
}

// The first rejection of a score that does not parse, and how many follow.
void report_rejections(const Score& score, const std::string& song, const std::vector<SongDiagnostic>& notes,
                       std::ostream& err)
{
    int32_t rejections = 0;
    for (const SongDiagnostic& d : notes)
        if (d.rejection && rejections++ == 0)
            print_diagnostic(score, score_line_starts(score.text), d, err);
    if (rejections > 1)
        err << "(" << rejections - 1 << " more; velomira-song check " << song << " lists them all)\n";
}

// The parsed song rendered block by block into file, with the progress bar
// on a terminal; false with error set when a write fails or a signal ends
// the run.
bool write_samples(SNDFILE* file, const std::string& out, int64_t samples, bool progress, std::string& error)
{
    Progress bar;
    progress_start(bar, progress, "velomira-song render", "samples", "", samples);
    std::vector<int16_t> block(Block);
    bool written = true;
    for (int64_t done = 0; done < samples; done += Block) {
        const int32_t n = int32_t(std::min<int64_t>(Block, samples - done));
        synth_render(block.data(), n);
        written = sf_write_short(file, block.data(), n) == n;
        if (signals_ending()) {
            error = "interrupted; " + out + " not written";
            written = false;
            break;
        }
        if (!written) {
            error = "cannot write " + out + ": " + sf_strerror(file);
            break;
        }
        progress_update(bar, done + n);
    }
    progress_finish(bar);
    return written;
}

bool ends_with_nocase(const std::string& s, const std::string& tail)
{
    if (s.size() < tail.size())
        return false;
    return std::equal(tail.begin(), tail.end(), s.end() - std::ptrdiff_t(tail.size()),
                      [](char a, char b) { return std::tolower((unsigned char)a) == std::tolower((unsigned char)b); });
}

}   // namespace

int song_tool_render(const std::string& song, const std::string& out, int64_t samples, bool progress,
                     std::ostream& err)
{
    if (samples < 1 || samples > MaxRenderSamples) {
        err << "length must be 1 to " << MaxRenderSamples << " samples (one hour)\n";
        return ExitUsage;
    }
    std::string error;
    if (!song_tool_check_output(song, out, {".wav", ".flac"}, error)) {
        err << error << "\n";
        return ExitUsage;
    }
    Score score = read_score(song, err);
    if (!score.readable)
        return ExitFailure;
    // Opened before the work, so that a bad path fails at once; written under
    // a temporary name unless it is a device or FIFO, and dropped on failure.
    OutputFile output;
    if (!output.open(song_tool_output_path(out), error)) {
        err << error << "\n";
        return ExitFailure;
    }
    std::vector<SongDiagnostic> notes;
    if (parse_score(score, notes, true) < 0) {
        report_rejections(score, song, notes, err);
        return ExitFailure;
    }
    const int format = ends_with_nocase(out, ".flac") ? SF_FORMAT_FLAC : SF_FORMAT_WAV;
    SNDFILE* file = sound_output_open(output.file, format, 1, SongSampleRate, samples, error);
    if (!file) {
        err << "cannot write " << out << ": " << error << "\n";
        return ExitFailure;
    }
    bool written = write_samples(file, out, samples, progress, error);
    const int closed = sf_close(file);
    if (closed != 0 && written) {
        error = "cannot write " + out + ": " + sf_error_number(closed);
        written = false;
    }
    if (!written || !output.commit(error)) {
        err << error << "\n";
        return ExitFailure;
    }
    return 0;
}

bool song_tool_check_output(const std::string& song, const std::string& out,
                            std::initializer_list<const char*> endings, std::string& error)
{
    if (out == "-") {
        if (isatty(STDOUT_FILENO)) {
            error = "-: standard output is a terminal; redirect it to a file or a program";
            return false;
        }
        return true;
    }
    if (out.empty() || out.back() == '/') {
        error = "\"" + out + "\": not a file name; give a file name such as out" + *endings.begin();
        return false;
    }
    if (song != "-" && same_file(song, out)) {
        error = out + ": this is the score itself; give another output file";
        return false;
    }
    // A regular file must say what it holds; a device or FIFO need not.
    struct stat info;
    const bool special = stat(out.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
    bool named = special;
    std::string list;
    for (const char* ending : endings) {
        named |= ends_with_nocase(out, ending);
        list += (list.empty() ? "" : " or ") + std::string(ending);
    }
    if (!named) {
        error = out + ": give a name ending in " + list;
        return false;
    }
    return true;
}

std::string song_tool_output_path(const std::string& out)
{
    return out == "-" ? "/dev/stdout" : out;
}

namespace {

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

// The bar in which the last track ends, or -1 when a track loops for ever.
int32_t music_last_bar()
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
    const int32_t musicBar = Song.RowLength > 0 && song_played_tracks() > 0 ? music_last_bar() : -1;
    constexpr int32_t FarApart = 4;   // bars
    if (ok && musicBar >= 0 && script.endBar > musicBar + FarApart)
        notes.push_back({0, "", "the show ends at bar " + std::to_string(script.endBar) + ", " +
                                    std::to_string(script.endBar - musicBar) + " bars after the music's last row (bar " +
                                    std::to_string(musicBar) + ")", false});
    if (ok && musicBar > script.endBar + FarApart)
        notes.push_back({0, "", "the show ends at bar " + std::to_string(script.endBar) +
                                    " while the music plays on to bar " + std::to_string(musicBar), false});
    return ok;
}

}   // namespace

int song_tool_check(const std::string& song, std::ostream& out)
{
    Score score = read_score(song, out);
    if (!score.readable)
        return 1;
    return song_tool_check_text(score.name, score.text, out);
}

int song_tool_check_text(const std::string& name, const std::string& text, std::ostream& out)
{
    const Score score = {name, text, true};
    std::vector<SongDiagnostic> notes;
    SongDiagnostic unreadable;
    const bool plainText = song_bytes_check(text.data(), text.size(), unreadable);
    bool valid = parse_score(score, notes, false) == 0;
    if (plainText)
        valid &= check_show(text, notes);

    // The same finding on the same line (a track playing one empty pattern
    // many times) is reported once, with a count.
    std::vector<int32_t> times(notes.size(), 0);
    std::map<std::tuple<int32_t, bool, std::string>, size_t> first;
    for (size_t i = 0; i < notes.size(); ++i) {
        auto [at, fresh] = first.try_emplace({notes[i].line, notes[i].rejection, notes[i].message}, i);
        ++times[at->second];
    }
    const std::vector<size_t> starts = score_line_starts(text);
    int32_t warnings = 0;
    for (size_t i = 0; i < notes.size(); ++i)
        if (times[i] > 0) {
            print_diagnostic(score, starts, notes[i], out, times[i]);
            warnings += !notes[i].rejection;
        }
    if (valid)
        out << score.name << ": valid, " << song_played_tracks() << " tracks played, " << warnings
            << (warnings == 1 ? " warning\n" : " warnings\n");
    else
        out << score.name << ": rejected\n";
    return valid ? 0 : 1;
}

int song_tool_print(std::ostream& out, bool withShow)
{
    out << EmbeddedSong;
    if (withShow)
        out << "\n" << show_script_text(ShowScriptState{});
    return out ? 0 : 1;
}

#include "song_tool.h"

#include "levels.h"

#include "playback/playback.h"
#include "playback/second_core.h"
#include "driver/demo.h"
#include "driver/score_check.h"
#include "show/script.h"
#include "synth/embedded_song.h"
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
#include <ostream>
#include <vector>

namespace {

// Samples rendered and written at a time: 6 s of music, so that the file is
// written in a few large writes rather than thousands of small ones.
constexpr int32_t Block = 1 << 18;

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
// the run. Each block goes into the file on the second core while the next
// one renders: the kernel's copy into the file costs about as much as the
// music. The writes keep their order, one at a time; one the second core has
// not begun when the next block is rendered is made here.
struct BlockWrite {
    SNDFILE* file = nullptr;
    const int16_t* block = nullptr;
    int32_t n = 0;
    bool ok = true;
};

void write_block(void* context)
{
    BlockWrite& write = *static_cast<BlockWrite*>(context);
    write.ok = sf_write_short(write.file, write.block, write.n) == write.n;
}

bool write_samples(SNDFILE* file, const std::string& out, int64_t samples, uint32_t heard, bool progress,
                   Levels& levels, std::string& error)
{
    Progress bar;
    progress_start(bar, progress, "velomira-song render", "samples", "", samples);
    const size_t size = size_t(std::min<int64_t>(Block, samples));
    std::vector<int16_t> blocks[2] = {std::vector<int16_t>(size), std::vector<int16_t>(size)};
    std::vector<int16_t> whole(heard == AllTracks ? 0 : size);
    BlockWrite writing;   // the block before this one, going into the file
    bool offered = false;
    const auto written_before = [&]() {
        if (offered && second_core_take_back())
            write_block(&writing);
        offered = false;
        if (writing.ok)
            return true;
        error = "cannot write " + out + ": " + sf_strerror(file);
        return false;
    };
    bool written = true;
    for (int64_t done = 0, k = 0; done < samples; done += Block, ++k) {
        const int32_t n = int32_t(std::min<int64_t>(Block, samples - done));
        int16_t* block = blocks[k % 2].data();
        if (heard == AllTracks)
            synth_render(block, n);
        else
            synth_render_heard(whole.data(), block, n, heard);
        levels_count(levels, block, n, done);
        if (!(written = written_before()))
            break;
        if (signals_ending()) {
            error = "interrupted; " + out + " not written";
            written = false;
            break;
        }
        writing = BlockWrite{file, block, n};
        offered = second_core_offer(write_block, &writing);
        if (!offered)
            write_block(&writing);
        progress_update(bar, done + n);
    }
    written = written && written_before();
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

std::string counted(int64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The levels of a valid score as play hears it; the number of warnings said.
int32_t report_levels(const Score& score, std::ostream& out)
{
    Take take;
    std::string message;
    if (take_render(score.name, score.text, 0, AllTracks, take, message) < 0) {
        // The take's own refusal (instruments too long to render quickly).
        const size_t reason = message.find("error: ");
        out << score.name << ": levels not measured: "
            << (reason == std::string::npos ? message : message.substr(reason + 7)) << "\n";
        return 0;
    }
    const Levels levels = levels_measure(score.name, score.text, take);
    std::string report = levels_report(levels);
    for (size_t at = 0, end; at < report.size(); at = end + 1) {
        end = std::min(report.find('\n', at), report.size());
        out << score.name << ": " << report.substr(at, end - at) << "\n";
    }
    const std::string warning = levels_clip_warning(levels);
    if (warning.empty())
        return 0;
    out << score_message(score.name, score.text, {}, {0, "", warning, false}) << "\n";
    return 1;
}

}   // namespace

int song_tool_render(const std::string& song, const std::string& out, int64_t samples, bool progress,
                     std::ostream& err, const TrackChoice& tracks)
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
    // The blocks' writes go to the second core: woken now, it is running by
    // the time the first block is rendered.
    second_core_wake();
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
    if (take_check_choice(tracks, song_played_tracks(), error) < 0) {
        err << "velomira-song: " << error << "\n";
        return ExitUsage;
    }
    song_bar_follow(Song.RowLength);
    const int format = ends_with_nocase(out, ".flac") ? SF_FORMAT_FLAC : SF_FORMAT_WAV;
    SNDFILE* file = sound_output_open(output.file, format, 1, SongSampleRate, samples, error);
    if (!file) {
        err << "cannot write " << out << ": " << error << "\n";
        return ExitFailure;
    }
    Levels levels;
    bool written = write_samples(file, out, samples, tracks.heard(), progress, levels, error);
    const int closed = sf_close(file);
    if (closed != 0 && written) {
        error = "cannot write " + out + ": " + sf_error_number(closed);
        written = false;
    }
    if (!written || !output.commit(error)) {
        err << error << "\n";
        return ExitFailure;
    }
    if (const std::string clipping = levels_clip_line(levels); !clipping.empty())
        err << out << ": " << clipping << "\n";
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

int song_tool_check(const std::string& song, std::ostream& out, bool levels)
{
    Score score = read_score(song, out);
    if (!score.readable)
        return 1;
    return song_tool_check_text(score.name, score.text, out, levels);
}

int song_tool_check_text(const std::string& name, const std::string& text, std::ostream& out, bool levels)
{
    const Score score = {name, text, true};
    const ScoreCheck check = score_check_text(text);
    const std::vector<size_t> starts = score_line_starts(text);
    for (const ScoreFinding& f : check.findings)
        print_diagnostic(score, starts, f.finding, out, f.times);
    if (!check.valid) {
        out << score.name << ": rejected\n";
        return 1;
    }
    int32_t warnings = check.warnings;
    if (levels && check.played > 0)
        warnings += report_levels(score, out);
    out << score.name << ": valid, " << counted(check.played, "track", "tracks") << " played, "
        << counted(warnings, "warning", "warnings") << "\n";
    return 0;
}

int song_tool_print(std::ostream& out, bool withShow)
{
    out << EmbeddedSong;
    if (withShow)
        out << "\n" << show_script_text(ShowScriptState{});
    return out ? 0 : 1;
}

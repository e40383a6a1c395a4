#include "song_tool.h"

#include "playback/playback.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tools/common/output_file.h"

#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <vector>

namespace {

constexpr int32_t Rate = 44100;
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
    if (song == "-") {
        score = {"(embedded score)", EmbeddedSong, true};
        return score;
    }
    score.name = song;
    std::FILE* file = std::fopen(song.c_str(), "rb");
    if (!file) {
        err << song << ": cannot open: " << std::strerror(errno) << "\n";
        return score;
    }
    // A read error (a directory opens but cannot be read) is not an empty score.
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        score.text.append(chunk, got);
    const int readError = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (readError) {
        err << song << ": cannot read: " << std::strerror(readError) << "\n";
        return score;
    }
    score.readable = true;
    return score;
}

// Line n (1-based) of the original text, without its line end.
std::string original_line(const std::string& text, int32_t n)
{
    size_t start = 0;
    for (int32_t i = 1; i < n && start != std::string::npos; ++i) {
        start = text.find('\n', start);
        if (start != std::string::npos)
            ++start;
    }
    if (start == std::string::npos || start > text.size())
        return "";
    std::string line = text.substr(start, text.find('\n', start) - start);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

void print_diagnostic(const Score& score, const SongDiagnostic& d, std::ostream& out)
{
    out << score.name;
    if (d.line > 0)
        out << ":" << d.line;
    out << ": " << (d.rejection ? "error" : "warning") << ": " << d.message << "\n";
    if (d.line > 0)
        out << "    | " << original_line(score.text, d.line) << "\n";
}

// Fresh synthesizer and song, then the parse; the text is copied because the
// parser works in place.
int parse_score(const Score& score, std::vector<SongDiagnostic>& notes)
{
    Song = SongState{};
    Synth = SynthState{};
    synth_init(Rate);
    std::vector<char> text(score.text.begin(), score.text.end());
    text.push_back('\0');
    return song_parse_checked(text.data(), &notes);
}

void draw_progress(int64_t done, int64_t total, std::ostream& err)
{
    const int32_t width = 40;
    const int32_t filled = int32_t(done * width / total);
    err << "\rrendering [" << std::string(size_t(filled), '#') << std::string(size_t(width - filled), '.')
        << "] " << done * 100 / total << "%" << std::flush;
}

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}   // namespace

int song_tool_render(const std::string& song, const std::string& out, int64_t samples, bool progress,
                     std::ostream& err)
{
    if (samples < 1 || samples > MaxRenderSamples) {
        err << "length must be 1 to " << MaxRenderSamples << " samples (one hour)\n";
        return 1;
    }
    if (song != "-" && same_file(song, out)) {
        err << out << ": this is the score itself; give another output file\n";
        return 1;
    }
    Score score = read_score(song, err);
    if (!score.readable)
        return 1;
    // Opened before the work, so that a bad path fails at once; written under
    // a temporary name unless it is a device or FIFO, and dropped on failure.
    OutputFile output;
    std::string error;
    if (!output.open(out, error)) {
        err << error << "\n";
        return 1;
    }
    std::vector<SongDiagnostic> notes;
    if (parse_score(score, notes) < 0) {
        int32_t rejections = 0;
        for (const SongDiagnostic& d : notes)
            if (d.rejection && rejections++ == 0)
                print_diagnostic(score, d, err);
        if (rejections > 1)
            err << "(" << rejections - 1 << " more; velomira-song check " << song << " lists them all)\n";
        return 1;
    }

    SF_INFO info{};
    info.samplerate = Rate;
    info.channels = 1;
    info.format = (ends_with(out, ".flac") ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open_fd(fileno(output.file), SFM_WRITE, &info, 0);
    if (!file) {
        err << "cannot write " << out << ": " << sf_strerror(nullptr) << "\n";
        return 1;
    }
    std::vector<int16_t> block(Block);
    bool failed = false, interrupted = false;
    for (int64_t done = 0; done < samples && !failed; done += Block) {
        const int32_t n = int32_t(std::min<int64_t>(Block, samples - done));
        synth_render(block.data(), n);
        failed = sf_write_short(file, block.data(), n) != n;
        if (progress && (done / Block) % 256 == 0)
            draw_progress(done, samples, err);
        failed |= interrupted = output_interrupted();
    }
    if (progress) {
        if (!failed)
            draw_progress(samples, samples, err);
        err << "\n";
    }
    if (interrupted)
        err << "interrupted; " << out << " not written\n";
    else if (failed)
        err << "cannot write " << out << ": " << sf_strerror(file) << "\n";
    failed |= sf_close(file) != 0;
    if (failed)
        return 1;
    if (!output.commit(error)) {
        err << error << "\n";
        return 1;
    }
    return 0;
}

int song_tool_check(const std::string& song, std::ostream& out)
{
    Score score = read_score(song, out);
    if (!score.readable)
        return 1;
    std::vector<SongDiagnostic> notes;
    const bool valid = parse_score(score, notes) == 0;
    int32_t warnings = 0;
    for (const SongDiagnostic& d : notes) {
        print_diagnostic(score, d, out);
        warnings += !d.rejection;
    }
    if (valid)
        out << score.name << ": valid, " << song_played_tracks() << " tracks played, " << warnings
            << (warnings == 1 ? " warning\n" : " warnings\n");
    else
        out << score.name << ": rejected\n";
    return valid ? 0 : 1;
}

int song_tool_print(std::ostream& out)
{
    out << EmbeddedSong;
    return out ? 0 : 1;
}

#include "synth/score_file.h"

#include "synth/embedded_song.h"
#include "synth/synth.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Line n (1-based) of the text as written, without its line end, cut short
// for quoting.
std::string written_line(const std::string& text, const std::vector<size_t>& starts, int32_t n)
{
    if (n < 1 || size_t(n) > starts.size())
        return "";
    const size_t start = starts[size_t(n - 1)];
    const size_t end = size_t(n) < starts.size() ? starts[size_t(n)] - 1 : text.size();
    std::string line = text.substr(start, std::min<size_t>(end - start, 200));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return song_quote(line.c_str());   // up to a NUL byte, if the line holds one
}

int read_file(const std::string& path, std::string& text, std::string& message)
{
    // Closed on every way out, a failing allocation included.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> opened(std::fopen(path.c_str(), "rb"), std::fclose);
    std::FILE* file = opened.get();
    if (!file) {
        message = path + ": cannot open: " + std::strerror(errno);
        return -1;
    }
    text.clear();
    struct stat info;
    const bool regular = fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
    bool tooLarge = regular && uint64_t(info.st_size) > ScoreMaxBytes;
    if (regular && !tooLarge)
        text.reserve(size_t(info.st_size));
    // A device or a pipe has no size to check first: read one byte past the
    // limit to tell a score that fits from one that does not.
    char chunk[65536];
    size_t got;
    while (!tooLarge && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
        tooLarge = text.size() > ScoreMaxBytes;
    }
    // A directory opens but cannot be read: that is not an empty score.
    const int readError = !tooLarge && std::ferror(file) ? errno : 0;
    opened.reset();
    if (tooLarge) {
        text.clear();
        text.shrink_to_fit();
        message = path + ": error: larger than " + std::to_string(ScoreMaxBytes >> 20) +
                  " MB, the most a score may be";
        return -1;
    }
    if (readError) {
        message = path + ": cannot read: " + std::strerror(readError);
        return -1;
    }
    return 0;
}

}   // namespace

std::string score_name(const std::string& path)
{
    return path == EmbeddedScorePath ? EmbeddedScoreName : path;
}

int score_read(const std::string& path, std::string& text, std::string& message)
{
    if (path == EmbeddedScorePath) {
        text = EmbeddedSong;
        return 0;
    }
    return read_file(path, text, message);
}

int score_parse_text(const std::string& name, const std::string& text, std::string& message)
{
    // A NUL byte or UTF-16 text is refused before parsing, as the checker
    // does; the line is named but not quoted, as it cannot be shown.
    SongDiagnostic problem;
    if (!song_bytes_check(text.data(), text.size(), problem)) {
        problem.text.clear();
        message = score_message(name, text, {}, problem);
        return -1;
    }
    Song.loadedText.assign(text.begin(), text.end());
    Song.loadedText.push_back('\0');
    std::vector<SongDiagnostic> notes;
    if (song_parse_checked(Song.loadedText.data(), &notes) == 0)
        return 0;
    message = name + ": error: the score is rejected";
    for (const SongDiagnostic& d : notes)
        if (d.rejection) {
            message = score_message(name, text, score_line_starts(text), d);
            break;
        }
    return -1;
}

int song_load(const char* path)
{
    std::string text;
    if (read_file(path, text, Song.error) < 0)
        return -1;
    SongDiagnostic problem;
    if (!song_bytes_check(text.data(), text.size(), problem)) {
        Song.error = "line " + std::to_string(problem.line) + " (" + problem.text + "): " + problem.message;
        return -1;
    }
    Song.loadedText.assign(text.begin(), text.end());
    Song.loadedText.push_back('\0');
    return song_parse(Song.loadedText.data());
}

int score_load(const std::string& path, std::string& message)
{
    synth_reset();
    std::string text;
    const std::string file = path.empty() ? EmbeddedScorePath : path;
    if (score_read(file, text, message) < 0)
        return -1;
    return score_parse_text(score_name(file), text, message);
}

std::vector<size_t> score_line_starts(const std::string& text)
{
    const char end = text.find('\n') == std::string::npos ? '\r' : '\n';
    std::vector<size_t> starts = {0};
    for (size_t at = text.find(end); at != std::string::npos; at = text.find(end, at + 1))
        starts.push_back(at + 1);
    return starts;
}

std::string score_message(const std::string& name, const std::string& text, const std::vector<size_t>& starts,
                          const SongDiagnostic& finding, int32_t times)
{
    std::string message = name;
    if (finding.line > 0) {
        message += ':';
        message += std::to_string(finding.line);
    }
    message += finding.rejection ? ": error: " : ": warning: ";
    message += finding.message;
    if (times > 1) {
        message += " (";
        message += std::to_string(times);
        message += " times)";
    }
    // A finding about the text as a whole (UTF-16) has no line worth quoting.
    if (finding.line > 0 && !finding.text.empty())
        message += "\n    | " + written_line(text, starts, finding.line);
    return message;
}

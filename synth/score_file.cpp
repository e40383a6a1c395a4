#include "synth/score_file.h"

#include "synth/song.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Line n (1-based) of the text as written, without its line end.
std::string written_line(const std::string& text, int32_t n)
{
    size_t start = 0;
    for (int32_t i = 1; i < n; ++i) {
        start = text.find('\n', start);
        if (start == std::string::npos)
            return "";
        ++start;
    }
    std::string line = text.substr(start, text.find('\n', start) - start);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return song_quote(line.c_str());
}

}   // namespace

int score_parse_text(const std::string& name, const std::string& text, std::string& message)
{
    // A NUL byte or UTF-16 text is refused before parsing, as the checker does.
    SongDiagnostic problem;
    if (!song_bytes_check(text.data(), text.size(), problem)) {
        message = name + ":" + std::to_string(problem.line) + ": error: " + problem.message;
        return -1;
    }
    Song.loadedText.assign(text.begin(), text.end());
    Song.loadedText.push_back('\0');
    std::vector<SongDiagnostic> notes;
    if (song_parse_checked(Song.loadedText.data(), &notes) == 0)
        return 0;
    message = name + ": error: the score is rejected";
    for (const SongDiagnostic& d : notes) {
        if (!d.rejection)
            continue;
        if (d.line > 0)
            message = name + ":" + std::to_string(d.line) + ": error: " + d.message + "\n    | " +
                      written_line(text, d.line);
        else
            message = name + ": error: " + d.message;
        break;
    }
    return -1;
}

int score_read(const std::string& path, std::string& text, std::string& message)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
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
    std::fclose(file);
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

int score_load(const std::string& path, std::string& message)
{
    std::string text;
    if (score_read(path, text, message) < 0)
        return -1;
    return score_parse_text(path, text, message);
}

#include "play.h"

#include "song_tool.h"
#include "synth/synth.h"

#include <SDL.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

constexpr int32_t Rate = 44100;
constexpr int32_t DeviceFrames = 2048;   // 46 ms: keys and saves are heard quickly
constexpr int StatusIntervalMs = 50;

volatile std::sig_atomic_t Interrupted = 0;
void on_signal(int) { Interrupted = 1; }

// The terminal in raw mode for single key presses, restored on every way out.
struct Terminal {
    bool keys = false;      // stdin is a terminal: read keys
    bool status = false;    // stdout is a terminal: draw the status line
    termios saved{};
    void start()
    {
        status = isatty(STDOUT_FILENO) != 0;
        keys = isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0;
        if (keys) {
            termios raw = saved;
            raw.c_lflag &= tcflag_t(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        }
        if (status)
            std::fputs("\x1b[?25l", stdout);   // hide the cursor while the line updates
    }
    void stop()
    {
        if (keys)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        if (status)
            std::fputs("\r\x1b[K\x1b[?25h", stdout), std::fflush(stdout);
        keys = status = false;
    }
};

// Watches the score's directory: editors often save by writing a new file and
// renaming it over the old one, which a watch on the file itself would lose.
struct Watch {
    int fd = -1;
    std::string name;
    bool start(const std::string& path, std::string& message)
    {
        namespace fs = std::filesystem;
        fs::path file(path);
        name = file.filename().string();
        fs::path dir = file.parent_path().empty() ? fs::path(".") : file.parent_path();
        fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0 || inotify_add_watch(fd, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
            message = "--watch: cannot watch " + dir.string() + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    // True when the score was written or replaced since the last call.
    bool saved()
    {
        alignas(inotify_event) char buffer[4096];
        bool hit = false;
        ssize_t got;
        while ((got = read(fd, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + got;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                if (event->len > 0 && name == event->name)
                    hit = true;
                at += sizeof(inotify_event) + event->len;
            }
        }
        return hit;
    }
};

std::string clock_text(int32_t samples)
{
    const double seconds = double(samples) / Rate;
    char text[32];
    std::snprintf(text, sizeof text, "%d:%04.1f", int(seconds / 60), std::fmod(seconds, 60.0));
    return text;
}

// One meter per track: a block whose height follows the track's peak in
// decibels below full scale (36 dB to 0), "·" for silence, "-" when not heard.
std::string meters(const Take& take, int32_t position, uint32_t heard)
{
    static const char* const Blocks[] = {"·", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    const size_t window = size_t(std::min(position, take.length() - 1) / PeakWindowSamples);
    std::string line;
    for (int32_t t = 1; t <= take.played; ++t) {
        line += std::to_string(t);
        if (!(heard >> t & 1u)) {
            line += "- ";
            continue;
        }
        const float peak = window * MaxVoices < take.peaks.size() ? take.peaks[window * MaxVoices + size_t(t)] : 0.0f;
        int level = 0;
        if (peak > 0.0f) {
            const double db = 20.0 * std::log10(double(peak) / 6.0);
            level = std::clamp(int(std::ceil((db + 36.0) / 36.0 * 8.0)), 0, 8);
        }
        line += Blocks[level];
        line += ' ';
    }
    return line;
}

void draw_status(const Take& take, uint32_t heard, const std::string& problem)
{
    std::string line;
    if (!problem.empty()) {
        line = problem.substr(0, problem.find('\n'));
    } else {
        const int32_t position = std::min(Player.position.load(), take.length());
        const int32_t row = position / std::max(take.rowLength, 1);
        char head[64];
        std::snprintf(head, sizeof head, "%s bar %d:%02d  ", Player.paused ? "||" : "> ", row / RowsPerBar,
                      row % RowsPerBar);
        line = head + clock_text(position) + "/" + clock_text(take.length()) + "  " + meters(take, position, heard) +
               " space pause  \u2190/\u2192 bar  q quit";
    }
    std::printf("\r%s\x1b[K", line.c_str());
    std::fflush(stdout);
}

// The position one bar away from the current one (or from a seek not yet
// taken up, so that two presses move two bars), kept inside the take.
void seek_bars(const Take& take, int32_t delta)
{
    const int32_t pending = Player.seekTo.load();
    const int32_t bar = take.bar_of(pending >= 0 ? pending : Player.position.load());
    const int32_t target = std::clamp(take.bar_start(std::max(bar + delta, 0)), 0, take.length() - 1);
    Player.finished = false;
    Player.seekTo = target;
}

void read_keys(const Take& take, bool& quit)
{
    char keys[64];
    ssize_t got = read(STDIN_FILENO, keys, sizeof keys);
    for (ssize_t i = 0; i < got; ++i) {
        if (keys[i] == 'q' || keys[i] == 'Q')
            quit = true;
        else if (keys[i] == ' ')
            Player.paused = !Player.paused;
        else if (keys[i] == '\x1b' && i + 2 < got && keys[i + 1] == '[') {
            if (keys[i + 2] == 'C')
                seek_bars(take, 1);
            else if (keys[i + 2] == 'D')
                seek_bars(take, -1);
            i += 2;
        }
    }
}

bool open_audio(std::string& message)
{
    SDL_AudioSpec want;
    std::memset(&want, 0, sizeof want);
    want.freq = Rate;
    want.format = AUDIO_S16SYS;
    want.channels = 2;
    want.samples = DeviceFrames;
    want.callback = play_audio_callback;
    if (SDL_OpenAudio(&want, nullptr) < 0) {
        message = std::string("no audio device: ") + SDL_GetError();
        return false;
    }
    return true;
}

}   // namespace

void play_audio_callback(void*, uint8_t* stream, int len)
{
    const int32_t frames = len / 4;
    const Take& take = *Player.take;
    int32_t position = Player.position.load(std::memory_order_relaxed);
    const int32_t seek = Player.seekTo.exchange(-1);
    if (seek >= 0)
        position = seek;
    int16_t frame[2];
    for (int32_t i = 0; i < frames; ++i) {
        if (Player.loopEnd > Player.loopFirst && position >= Player.loopEnd)
            position = Player.loopFirst;
        int16_t s = 0;
        if (!Player.paused && position < take.length())
            s = take.samples[size_t(position++)];
        frame[0] = frame[1] = s;
        std::memcpy(stream + 4 * i, frame, 4);
    }
    if (position >= take.length() && !(Player.loopEnd > Player.loopFirst))
        Player.finished = true;
    Player.position.store(position, std::memory_order_relaxed);
}

int play_parse_loop(const std::string& text, int32_t& first, int32_t& end, std::string& message)
{
    int a = -1, b = -1;
    char rest = 0;
    if (std::sscanf(text.c_str(), "%d:%d%c", &a, &b, &rest) != 2 || a < 0 || b <= a) {
        message = "--loop " + text + ": give bars A:B with 0 <= A < B (B is not played)";
        return -1;
    }
    first = a;
    end = b;
    return 0;
}

int song_tool_play(const PlayOptions& options)
{
    std::string text, message;
    if (options.watch && options.song == "-") {
        std::fprintf(stderr, "velomira-song: --watch needs a score file, not the embedded score\n");
        return 2;
    }
    uint32_t heard = AllTracks, mask = 0;
    if (!options.solo.empty()) {
        if (take_parse_tracks(options.solo, mask, message) < 0)
            return std::fprintf(stderr, "velomira-song: --solo: %s\n", message.c_str()), 2;
        heard = mask;
    }
    if (!options.mute.empty()) {
        if (take_parse_tracks(options.mute, mask, message) < 0)
            return std::fprintf(stderr, "velomira-song: --mute: %s\n", message.c_str()), 2;
        heard &= ~mask;
    }
    const std::string name = options.song == "-" ? "(embedded score)" : options.song;
    auto take = std::make_unique<Take>();
    if (take_read_score(options.song, text, message) < 0 ||
        take_render(name, text, int32_t(DefaultRenderSamples), heard, *take, message) < 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    const int32_t lastBar = take->bar_of(take->length() - 1);
    for (int32_t bar : {options.from, options.loopFirst, options.loopEnd - 1})
        if (bar > lastBar) {
            std::fprintf(stderr, "velomira-song: bar %d is past the end of the song (last bar %d)\n", bar, lastBar);
            return 2;
        }
    Watch watch;
    if (options.watch && !watch.start(options.song, message)) {
        std::fprintf(stderr, "velomira-song: %s\n", message.c_str());
        return 1;
    }

    Player.take = std::move(take);
    Player.seekTo = -1;
    Player.paused = false;
    Player.finished = false;
    if (options.loopFirst >= 0) {
        Player.loopFirst = Player.take->bar_start(options.loopFirst);
        Player.loopEnd = std::min(Player.take->bar_start(options.loopEnd), Player.take->length());
    }
    const int32_t startBar = options.from >= 0 ? options.from : std::max(options.loopFirst, 0);
    Player.position = Player.take->bar_start(startBar);

    setenv("SDL_NO_SIGNAL_HANDLERS", "1", 0);
    if (SDL_Init(SDL_INIT_AUDIO) < 0 || !open_audio(message)) {
        std::fprintf(stderr, "velomira-song: %s\n", message.empty() ? SDL_GetError() : message.c_str());
        SDL_Quit();
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGHUP, on_signal);
    Terminal terminal;
    terminal.start();
    SDL_PauseAudio(0);

    std::string problem;   // the checker's message of the last save, if it was bad
    std::unique_ptr<Take> spare;
    bool quit = false;
    while (!quit && !Interrupted) {
        pollfd fds[2] = {{terminal.keys ? STDIN_FILENO : -1, POLLIN, 0}, {watch.fd, POLLIN, 0}};
        poll(fds, 2, StatusIntervalMs);
        if (terminal.keys)
            read_keys(*Player.take, quit);
        if (watch.fd >= 0 && watch.saved()) {
            // Rendered here, on the main thread, while the old take plays on;
            // only the pointer swap holds the audio lock. The take swapped
            // out is kept for the next save: its memory is already mapped.
            if (!spare)
                spare = std::make_unique<Take>();
            if (take_read_score(options.song, text, message) == 0 &&
                take_render(name, text, int32_t(DefaultRenderSamples), heard, *spare, message) == 0) {
                SDL_LockAudio();
                std::swap(Player.take, spare);
                SDL_UnlockAudio();
                problem.clear();
            } else {
                problem = message;
                if (!terminal.status)
                    std::fprintf(stderr, "%s\n", message.c_str());
            }
        }
        if (terminal.status)
            draw_status(*Player.take, heard, problem);
        if (Player.finished && !options.watch)
            quit = true;
    }
    terminal.stop();
    SDL_CloseAudio();
    SDL_Quit();
    return 0;
}

#include "play.h"

#include "song_tool.h"
#include "synth/score_file.h"
#include "tools/common/numbers.h"

#include <SDL.h>
#include <langinfo.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <thread>

namespace {

namespace fs = std::filesystem;

constexpr int32_t Rate = SongSampleRate;
constexpr int32_t DeviceFrames = 2048;   // 46 ms: keys and saves are heard quickly
constexpr int StatusIntervalMs = 50;

volatile std::sig_atomic_t EndSignal = 0;       // INT, TERM, HUP or QUIT arrived: its number
volatile std::sig_atomic_t StopRequested = 0;   // TSTP arrived: give the terminal back, then stop

void on_end(int signal) { EndSignal = signal; }
void on_stop(int) { StopRequested = 1; }
void on_wake(int) {}   // CONT, WINCH: only end the poll; every pass looks at the terminal again

constexpr int EndSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int OtherSignals[] = {SIGTSTP, SIGCONT, SIGWINCH};

void handle(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;   // no SA_RESTART: a signal ends the poll at once
    sigaction(signal, &action, nullptr);
}

void install_signals()
{
    for (int signal : EndSignals)
        handle(signal, on_end);
    handle(SIGTSTP, on_stop);
    handle(SIGCONT, on_wake);
    handle(SIGWINCH, on_wake);
}

// Threads started while this lives (SDL's audio thread, the render worker)
// inherit a mask that keeps play's signals off them, so that every signal
// reaches the main thread and ends its poll at once.
struct SignalsHeldOff {
    sigset_t previous;
    SignalsHeldOff()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : EndSignals)
            sigaddset(&held, signal);
        for (int signal : OtherSignals)
            sigaddset(&held, signal);
        pthread_sigmask(SIG_BLOCK, &held, &previous);
    }
    ~SignalsHeldOff() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
};

// The terminal for single key presses (raw mode) and the status line, given
// back as it was on every way out. Both only while play is the terminal's
// foreground job: a job in the background neither changes the mode nor reads
// (either would stop it with SIGTTOU or SIGTTIN) nor draws over the shell.
struct Terminal {
    bool keysTty = false;     // stdin is a terminal
    bool statusTty = false;   // stdout is a terminal
    bool escapes = true;      // it understands escape sequences (TERM is not dumb)
    bool utf8 = true;         // the locale's character set is UTF-8: blocks and arrows
    bool raw = false;         // stdin is in the raw mode set here; saved is the mode to give back
    bool drawing = false;     // the status line is on screen (and the cursor hidden)
    size_t drawn = 0;         // columns of the last line drawn, for padding over it
    termios saved{};
    ~Terminal();
};

bool in_foreground(int fd)
{
    return tcgetpgrp(fd) == getpgrp();
}

// The locale's character set; when the locale named is not installed, its
// name still says what the terminal shows.
bool utf8_locale()
{
    const std::string before = std::setlocale(LC_CTYPE, nullptr);
    if (std::setlocale(LC_CTYPE, "")) {
        const bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
        std::setlocale(LC_CTYPE, before.c_str());
        return utf8;
    }
    std::string name;
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            name = value;
            break;
        }
    }
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return name.find("utf-8") != std::string::npos || name.find("utf8") != std::string::npos;
}

void terminal_open(Terminal& terminal)
{
    terminal.keysTty = isatty(STDIN_FILENO) != 0;
    terminal.statusTty = isatty(STDOUT_FILENO) != 0;
    const char* term = std::getenv("TERM");
    terminal.escapes = term && *term && std::strcmp(term, "dumb") != 0;
    terminal.utf8 = utf8_locale();
}

// Raw mode (single keys, no echo, reads that never wait) when play is in the
// foreground and the mode is not raw: at the start, after a continue, and
// after a shell has put line mode back behind play's back. The mode found is
// the one to give back.
void take_keys(Terminal& terminal)
{
    termios mode;
    if (!terminal.keysTty || !in_foreground(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &mode) != 0)
        return;
    if (terminal.raw && !(mode.c_lflag & (ICANON | ECHO)))
        return;
    terminal.saved = mode;
    mode.c_lflag &= tcflag_t(~(ICANON | ECHO));
    mode.c_cc[VMIN] = 0;
    mode.c_cc[VTIME] = 0;
    terminal.raw = tcsetattr(STDIN_FILENO, TCSANOW, &mode) == 0;
}

// The saved mode back, the status line cleared and the cursor shown. SIGTTOU
// is ignored meanwhile: a play that has just been put in the background is
// not stopped for giving the terminal back.
void terminal_release(Terminal& terminal)
{
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGTTOU, &ignore, &previous);
    if (terminal.raw && in_foreground(STDIN_FILENO))
        tcsetattr(STDIN_FILENO, TCSANOW, &terminal.saved);
    if (terminal.drawing && in_foreground(STDOUT_FILENO)) {
        if (terminal.escapes)
            std::fputs("\r\x1b[K\x1b[?25h", stdout);
        else
            std::printf("\r%s\r", std::string(terminal.drawn, ' ').c_str());
        std::fflush(stdout);
    }
    sigaction(SIGTTOU, &previous, nullptr);
    terminal.raw = false;
    terminal.drawing = false;
    terminal.drawn = 0;
}

Terminal::~Terminal()
{
    terminal_release(*this);
}

// Ctrl+Z: the terminal given back, then the stop SIGTSTP would have made.
// Execution goes on here after SIGCONT; the next pass takes the keys again.
void stop_now(Terminal& terminal)
{
    terminal_release(terminal);
    StopRequested = 0;
    handle(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    handle(SIGTSTP, on_stop);
}

size_t terminal_width()
{
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

// Columns of a UTF-8 text (every glyph drawn here is one column wide).
size_t columns(const std::string& text)
{
    return size_t(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// At most width columns of text, never cut inside a character.
std::string cut(const std::string& text, size_t width)
{
    size_t end = 0, used = 0;
    while (end < text.size()) {
        size_t next = end + 1;
        while (next < text.size() && (text[next] & 0xC0) == 0x80)
            ++next;
        if (++used > width)
            break;
        end = next;
    }
    return text.substr(0, end);
}

// The line in place of the last one, the cursor hidden the first time. A
// terminal without escape sequences gets spaces over the rest of the last
// line instead of "erase to the end".
void draw_line(Terminal& terminal, const std::string& line, size_t width)
{
    if (!terminal.statusTty || !in_foreground(STDOUT_FILENO))
        return;
    if (!terminal.drawing && terminal.escapes)
        std::fputs("\x1b[?25l", stdout);
    terminal.drawing = true;
    const size_t used = columns(line);
    if (terminal.escapes) {
        std::printf("\r%s\x1b[K", line.c_str());
    } else {
        const size_t over = std::min(terminal.drawn, width);
        std::printf("\r%s%s", line.c_str(), std::string(over > used ? over - used : 0, ' ').c_str());
    }
    terminal.drawn = used;
    std::fflush(stdout);
}

std::string clock_text(int32_t samples)
{
    const double seconds = double(samples) / Rate;
    char text[32];
    std::snprintf(text, sizeof text, "%d:%04.1f", int(seconds / 60), std::fmod(seconds, 60.0));
    return text;
}

// One meter per track: a glyph whose height follows the track's peak in
// decibels below full scale (36 dB to 0), a dot for silence, "-" when not
// heard. Blocks in a UTF-8 locale, ASCII otherwise.
std::string meters(const Take& take, int32_t position, uint32_t heard, bool utf8)
{
    static const char* const Blocks[] = {"·", "▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    static const char* const Ascii[] = {".", "_", ",", ":", ";", "=", "+", "*", "#"};
    const char* const* glyphs = utf8 ? Blocks : Ascii;
    const size_t window = size_t(std::min(position, take.length() - 1) / PeakWindowSamples);
    std::string line;
    for (int32_t t = 1; t <= take.played; ++t) {
        if (t > 1)
            line += ' ';
        line += std::to_string(t);
        if (!(heard >> t & 1u)) {
            line += "-";
            continue;
        }
        const float peak = window * MaxVoices < take.peaks.size() ? take.peaks[window * MaxVoices + size_t(t)] : 0.0f;
        int level = 0;
        if (peak > 0.0f) {
            const double db = 20.0 * std::log10(double(peak) / 6.0);
            level = std::clamp(int(std::ceil((db + 36.0) / 36.0 * 8.0)), 0, 8);
        }
        line += glyphs[level];
    }
    return line;
}

// The status line in at most width columns: everything when it fits, then
// without the key hints, then without the meters, then cut.
std::string status_text(const Take& take, uint32_t heard, bool utf8, size_t width)
{
    const int32_t position = std::min(Player.position.load(), take.length());
    const int32_t bar = take.bar_of(position);
    const int32_t row = (position - take.bar_start(bar)) / std::max(take.rowLength, 1);
    char head[64];
    std::snprintf(head, sizeof head, "%s bar %d:%02d  ", Player.paused ? "||" : "> ", bar, row);
    const std::string clock = head + clock_text(position) + "/" + clock_text(take.length());
    const std::string withMeters = clock + "  " + meters(take, position, heard, utf8);
    const std::string full = withMeters + "  space pause  " + (utf8 ? "\u2190/\u2192" : "<-/->") + " bar  q quit";
    for (const std::string* line : {&full, &withMeters})
        if (columns(*line) <= width)
            return *line;
    return cut(clock, width);
}

// The status line, or the first line of the last bad save's message. The
// last column is left free: a line that fills it would wrap on some terminals.
void draw_status(Terminal& terminal, const Take& take, uint32_t heard, const std::string& problem)
{
    const size_t width = std::max<size_t>(terminal_width(), 2) - 1;
    const std::string line = problem.empty() ? status_text(take, heard, terminal.utf8, width)
                                             : cut(problem.substr(0, problem.find('\n')), width);
    draw_line(terminal, line, width);
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

// The keys waiting, never more: the read cannot wait, whatever mode the
// terminal is in.
void read_keys(const Terminal& terminal, const Take& take, bool& quit)
{
    int waiting = 0;
    if (!terminal.raw || !in_foreground(STDIN_FILENO) || ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0 ||
        waiting <= 0)
        return;
    char keys[64];
    const ssize_t got = read(STDIN_FILENO, keys, std::min(sizeof keys, size_t(waiting)));
    for (ssize_t i = 0; i < got; ++i) {
        if (keys[i] == 'q' || keys[i] == 'Q') {
            quit = true;
        } else if (keys[i] == ' ') {
            Player.paused = !Player.paused;
        } else if (keys[i] == '\x1b' && i + 2 < got && (keys[i + 1] == '[' || keys[i + 1] == 'O')) {
            if (keys[i + 2] == 'C')
                seek_bars(take, 1);
            else if (keys[i + 2] == 'D')
                seek_bars(take, -1);
            i += 2;
        }
    }
}

// Watches the score's directory: editors often save by writing a new file and
// renaming it over the old one, which a watch on the file itself would lose.
// A score given as a symbolic link is watched in two places: the link's
// directory (the link re-pointed) and its target's (the target saved). The
// target is found again after every event, as the link may lead elsewhere now.
struct WatchedName {
    int wd = -1;
    std::string dir, name;
};

struct Watch {
    int fd = -1;
    std::string path;
    WatchedName link;     // the name as given
    WatchedName target;   // the file it leads to (the same for a plain file)
    ~Watch()
    {
        if (fd >= 0)
            close(fd);
    }
};

constexpr uint32_t WatchedEvents = IN_CLOSE_WRITE | IN_MOVED_TO;

WatchedName name_of(const fs::path& file)
{
    WatchedName place;
    place.dir = file.parent_path().empty() ? "." : file.parent_path().string();
    place.name = file.filename().string();
    return place;
}

fs::path target_of(const std::string& path)
{
    std::error_code error;
    const fs::path target = fs::weakly_canonical(path, error);
    return error ? fs::path(path) : target;
}

void watch_retarget(Watch& watch)
{
    WatchedName now = name_of(target_of(watch.path));
    if (now.dir == watch.target.dir) {
        watch.target.name = now.name;
        return;
    }
    // One directory has one watch: the link's stays when the target leaves it.
    if (watch.target.wd >= 0 && watch.target.wd != watch.link.wd)
        inotify_rm_watch(watch.fd, watch.target.wd);
    now.wd = inotify_add_watch(watch.fd, now.dir.c_str(), WatchedEvents);
    watch.target = now;
}

bool watch_start(Watch& watch, const std::string& path, std::string& message)
{
    watch.path = path;
    watch.link = name_of(path);
    watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch.fd >= 0)
        watch.link.wd = inotify_add_watch(watch.fd, watch.link.dir.c_str(), WatchedEvents);
    if (watch.fd < 0 || watch.link.wd < 0) {
        message = "--watch: cannot watch " + watch.link.dir + ": " + std::strerror(errno);
        return false;
    }
    watch_retarget(watch);
    return true;
}

bool watched(const Watch& watch, const inotify_event& event)
{
    return event.len > 0 && ((event.wd == watch.link.wd && watch.link.name == event.name) ||
                             (event.wd == watch.target.wd && watch.target.name == event.name));
}

// True when the score was written or replaced since the last call.
bool watch_saved(Watch& watch)
{
    alignas(inotify_event) char buffer[4096];
    bool hit = false, any = false;
    ssize_t got;
    while ((got = read(watch.fd, buffer, sizeof buffer)) > 0) {
        for (char* at = buffer; at < buffer + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            hit = hit || watched(watch, *event);
            any = true;
            at += sizeof(inotify_event) + event->len;
        }
    }
    if (any)
        watch_retarget(watch);
    return hit;
}

// The take from a read and a render; -1 with the message.
int render_take(const PlayOptions& options, const std::string& name, Take& take, std::string& message)
{
    std::string text;
    if (score_read(options.song, text, message) < 0)
        return -1;
    return take_render(name, text, 0, options.heard, take, message);
}

// A save rendered on its own thread, so that keys, signals and the status
// line go on meanwhile. While `running`, only the worker touches Song, Synth
// and `take`; the main thread looks at `done`, then at the rest.
struct Render {
    std::thread thread;
    std::atomic<bool> done{false};
    bool running = false;
    bool again = false;           // another save came during this render
    std::unique_ptr<Take> take;   // the worker's; between renders the take last swapped out
    int result = 0;
    std::string message;
    ~Render()
    {
        if (thread.joinable())
            thread.join();
    }
};

void render_work(Render& render, const PlayOptions& options, const std::string& name)
{
    try {
        render.result = render_take(options, name, *render.take, render.message);
    } catch (const std::bad_alloc&) {
        render.result = -1;
        render.message = name + ": error: out of memory rendering this version";
    } catch (const std::exception& error) {
        render.result = -1;
        render.message = name + ": error: " + error.what();
    }
    render.done.store(true, std::memory_order_release);
}

void render_start(Render& render, const PlayOptions& options, const std::string& name)
{
    if (!render.take)
        render.take = std::make_unique<Take>();   // later: the take swapped out, its memory mapped
    render.done = false;
    render.again = false;
    render.running = true;
    SignalsHeldOff held;
    render.thread = std::thread(render_work, std::ref(render), std::cref(options), std::cref(name));
}

// The loop's samples in the take being heard, from its bars.
void place_loop()
{
    if (Player.loopFirstBar < 0)
        return;
    Player.loopFirst = Player.take->bar_start(Player.loopFirstBar);
    Player.loopEnd = Player.take->bar_start(Player.loopEndBar);
}

// The new take in place under the audio lock, at the same place in the
// music: the position (and a seek not yet taken up) at the same row and the
// same fraction of it at the new tempo, the loop on the same bars. At the
// same tempo every position stays the sample it was.
void swap_take(std::unique_ptr<Take>& next)
{
    SDL_LockAudio();
    const int64_t from = std::max(Player.take->rowLength, 1), to = std::max(next->rowLength, 1);
    auto moved = [&](int32_t p) {
        return p < 0 ? p : int32_t(std::min<int64_t>(int64_t(p) * to / from, next->length()));
    };
    Player.position = moved(Player.position);
    Player.seekTo = moved(Player.seekTo);
    std::swap(Player.take, next);
    place_loop();
    SDL_UnlockAudio();
}

// A finished render: its take swapped in, or its message shown and the last
// good take kept; then the save that came meanwhile, if any.
void render_finish(Render& render, const PlayOptions& options, const std::string& name, const Terminal& terminal,
                   std::string& problem)
{
    render.thread.join();
    render.running = false;
    if (render.result == 0) {
        swap_take(render.take);
        problem.clear();
    } else {
        problem = render.message;
        if (!terminal.drawing)   // no status line to show it
            std::fprintf(stderr, "%s\n", render.message.c_str());
    }
    if (render.again)
        render_start(render, options, name);
}

// Every bar given must be in the song: the last bar holds its last sample.
int check_bars(const PlayOptions& options, const Take& take, std::string& message)
{
    const int64_t last = take.bar_of(take.length() - 1);
    const std::string range = "the song's bars are 0 to " + std::to_string(last);
    if (options.from > last) {
        message = "--from " + std::to_string(options.from) + ": past the end; " + range;
        return -1;
    }
    if (options.loopEnd > last + 1) {
        message = "--loop " + std::to_string(options.loopFirst) + ":" + std::to_string(options.loopEnd) +
                  ": past the end; " + range + ", so give A:B with 0 <= A < B <= " + std::to_string(last + 1) +
                  " (bar B is not played)";
        return -1;
    }
    return 0;
}

void player_start(const PlayOptions& options, std::unique_ptr<Take> take)
{
    Player.take = std::move(take);
    Player.seekTo = -1;
    Player.paused = false;
    Player.finished = false;
    Player.loopFirstBar = int32_t(options.loopFirst);
    Player.loopEndBar = int32_t(options.loopEnd);
    place_loop();
    const int64_t start = options.from >= 0 ? options.from : std::max<int64_t>(options.loopFirst, 0);
    Player.position = Player.take->bar_start(start);
}

// SDL's audio for the run, closed on every way out (before Player's take
// can go).
struct Device {
    bool open = false;
    ~Device()
    {
        if (open)
            SDL_CloseAudio();
        SDL_Quit();
    }
};

bool device_open(Device& device, std::string& message)
{
    setenv("SDL_NO_SIGNAL_HANDLERS", "1", 0);
    SignalsHeldOff held;   // for the audio thread SDL starts
    if (SDL_Init(SDL_INIT_AUDIO) < 0) {
        message = SDL_GetError();
        return false;
    }
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
    device.open = true;
    return true;
}

// Keys, saves and the status line until q, a signal, or the song's end
// (without --watch). A render still running is left behind.
int play_loop(const PlayOptions& options, const std::string& name, Terminal& terminal, Watch& watch,
              Render& render)
{
    std::string problem;   // the message of the last save, if it was bad
    bool quit = false;
    while (!quit && !EndSignal) {
        if (StopRequested)
            stop_now(terminal);
        take_keys(terminal);
        pollfd fds[2] = {{terminal.raw ? STDIN_FILENO : -1, POLLIN, 0}, {watch.fd, POLLIN, 0}};
        poll(fds, 2, StatusIntervalMs);
        read_keys(terminal, *Player.take, quit);
        if (watch.fd >= 0 && watch_saved(watch)) {
            if (render.running)
                render.again = true;
            else
                render_start(render, options, name);
        }
        if (render.running && render.done.load(std::memory_order_acquire))
            render_finish(render, options, name, terminal, problem);
        draw_status(terminal, *Player.take, options.heard, problem);
        if (Player.finished && !options.watch)
            quit = true;
    }
    return EndSignal ? 128 + EndSignal : 0;
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

namespace {

// A bar number as written: decimal, 0 or more.
bool read_bar(const std::string& text, int64_t& bar)
{
    return parse_decimal(text, bar) && bar >= 0;
}

// "A:B" into bars, 0 <= A < B; their range is checked against the song later.
int read_loop(const std::string& text, int64_t& first, int64_t& end, std::string& message)
{
    const size_t colon = text.find(':');
    int64_t a = 0, b = 0;
    if (colon == std::string::npos || !read_bar(text.substr(0, colon), a) || !read_bar(text.substr(colon + 1), b) ||
        b <= a) {
        message = "--loop " + text + ": give bars A:B, decimal numbers with 0 <= A < B (bar B is not played)";
        return -1;
    }
    first = a;
    end = b;
    return 0;
}

int read_tracks(const char* option, const std::string& list, uint32_t& mask, std::string& message)
{
    if (take_parse_tracks(list, mask, message) == 0)
        return 0;
    message = std::string(option) + " " + list + ": " + message;
    return -1;
}

// The tracks heard: all, or the soloed ones, less the muted ones; a track
// both soloed and muted is a contradiction.
int read_heard(const PlayArguments& arguments, uint32_t& heard, std::string& message)
{
    uint32_t solo = 0, mute = 0;
    if ((arguments.solo && read_tracks("--solo", *arguments.solo, solo, message) < 0) ||
        (arguments.mute && read_tracks("--mute", *arguments.mute, mute, message) < 0))
        return -1;
    if (const uint32_t both = solo & mute) {
        int32_t t = 1;
        while (!(both >> t & 1u))
            ++t;
        message = "--solo and --mute both name track " + std::to_string(t) + ": a track is either heard or not";
        return -1;
    }
    heard = (arguments.solo ? solo : AllTracks) & ~mute;
    return 0;
}

// The first take, and the bars checked against it; the exit status.
int first_take(const PlayOptions& options, const std::string& name, Take& take)
{
    std::string message;
    if (render_take(options, name, take, message) < 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    if (check_bars(options, take, message) < 0) {
        std::fprintf(stderr, "velomira-song: %s\n", message.c_str());
        return 2;
    }
    return 0;
}

// Quitting while a save renders: the render would hold the end back (a big
// score renders for seconds), so the terminal and the device are given back
// and the process ends at once. The worker writes nothing that outlives it.
[[noreturn]] void end_during_render(Terminal& terminal, int status)
{
    terminal_release(terminal);
    SDL_CloseAudio();
    SDL_Quit();
    std::fflush(nullptr);
    std::_Exit(status);
}

}   // namespace

int play_read_options(const PlayArguments& arguments, PlayOptions& options, std::string& message)
{
    options.song = arguments.song;
    options.watch = arguments.watch;
    if (options.watch && options.song == EmbeddedScorePath) {
        message = "--watch needs a score file, not the embedded score";
        return -1;
    }
    if (arguments.from && !read_bar(*arguments.from, options.from)) {
        message = "--from " + *arguments.from + ": give a bar, a decimal number from 0 to the song's last bar";
        return -1;
    }
    if (arguments.loop && read_loop(*arguments.loop, options.loopFirst, options.loopEnd, message) < 0)
        return -1;
    if (arguments.from && arguments.loop && (options.from < options.loopFirst || options.from >= options.loopEnd)) {
        message = "--from " + *arguments.from + " is outside --loop " + *arguments.loop + ": start in bars " +
                  std::to_string(options.loopFirst) + " to " + std::to_string(options.loopEnd - 1);
        return -1;
    }
    return read_heard(arguments, options.heard, message);
}

int song_tool_play(const PlayOptions& options)
{
    const std::string name = score_name(options.song);
    auto take = std::make_unique<Take>();
    if (const int status = first_take(options, name, *take))
        return status;
    std::string message;
    Watch watch;
    if (options.watch && !watch_start(watch, options.song, message)) {
        std::fprintf(stderr, "velomira-song: %s\n", message.c_str());
        return 1;
    }
    player_start(options, std::move(take));

    Device device;
    if (!device_open(device, message)) {
        std::fprintf(stderr, "velomira-song: %s\n", message.c_str());
        return 1;
    }
    install_signals();
    Render render;
    Terminal terminal;
    terminal_open(terminal);
    SDL_PauseAudio(0);
    const int status = play_loop(options, name, terminal, watch, render);
    if (render.running)
        end_during_render(terminal, status);
    return status;
}

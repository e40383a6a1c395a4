#include "play_terminal.h"

#include "play.h"
#include "tools/common/signals.h"

#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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

}   // namespace

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
void terminal_take_keys(Terminal& terminal)
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
void terminal_stop_if_asked(Terminal& terminal)
{
    if (!signals_stop_requested())
        return;
    terminal_release(terminal);
    signals_stop_now();
}

namespace {

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
    const double seconds = double(samples) / SongSampleRate;
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
// "> bar 3:04  0:05.1/0:16.0": pause or play, the bar and row, the time.
std::string status_clock(const Take& take, int32_t position)
{
    const int32_t bar = take.bar_of(position);
    const int32_t row = (position - take.bar_start(bar)) / std::max(take.rowLength, 1);
    char head[64];
    std::snprintf(head, sizeof head, "%s bar %d:%02d  ", Player.paused ? "||" : "> ", bar, row);
    return head + clock_text(position) + "/" + clock_text(take.length());
}

std::string status_text(const Take& take, uint32_t heard, bool utf8, size_t width)
{
    const int32_t position = std::min(Player.position.load(), take.length());
    const std::string clock = status_clock(take, position);
    const std::string withMeters = clock + "  " + meters(take, position, heard, utf8);
    const std::string full = withMeters + "  space pause  " + (utf8 ? "\u2190/\u2192" : "<-/->") + " bar  q quit";
    for (const std::string* line : {&full, &withMeters})
        if (columns(*line) <= width)
            return *line;
    return cut(clock, width);
}

}   // namespace

// The status line, or the first line of the last bad save's message, or
// the status's clock followed by the take's first warning. The last column
// is left free: a line that fills it would wrap on some terminals.
void terminal_draw_status(Terminal& terminal, const Take& take, uint32_t heard, const std::string& message,
                          bool playing)
{
    const size_t width = std::max<size_t>(terminal_width(), 2) - 1;
    const std::string first = message.substr(0, message.find('\n'));
    std::string line;
    if (message.empty())
        line = status_text(take, heard, terminal.utf8, width);
    else if (playing)
        line = cut(status_clock(take, std::min(Player.position.load(), take.length())) + "  " + first, width);
    else
        line = cut(first, width);
    draw_line(terminal, line, width);
}

namespace {

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

}   // namespace

// The keys waiting, never more: the read cannot wait, whatever mode the
// terminal is in.
void terminal_read_keys(const Terminal& terminal, const Take& take, bool& quit)
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

// velomira-song play, the command: its options read and checked, the first
// take rendered and the bars checked against it, the sound device opened,
// then the loop of keys, saves and the status line until the end. The
// terminal is play_terminal.cpp's, the watch and the renders on a worker
// play_watch.cpp's; SDL's audio thread runs only play_audio_callback.
#include "play.h"

#include "driver/file_watch.h"
#include "driver/frame_loop.h"
#include "play_terminal.h"
#include "play_watch.h"
#include "synth/score_file.h"
#include "tools/common/exit_status.h"
#include "tools/common/numbers.h"
#include "tools/common/signals.h"

#include <SDL.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr int32_t DeviceFrames = 1024;   // 23 ms: keys and saves are heard quickly
constexpr int StatusIntervalMs = 50;

// A bar number as written: decimal, 0 or more.
bool read_bar(const std::string& text, int64_t& bar)
{
    return parse_decimal(text, bar) && bar >= 0;
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

// The first take, and the bars checked against it; the exit status.
int first_take(const PlayOptions& options, const std::string& name, Take& take)
{
    std::string message;
    if (play_render_take(options, name, take, message) < 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return ExitFailure;
    }
    if (check_bars(options, take, message) < 0 || take_check_choice(options.tracks, take.played, message) < 0) {
        std::fprintf(stderr, "velomira-song: %s\n", message.c_str());
        return ExitUsage;
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
    play_place_loop();
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
    std::string reason;
    if (!frame_loop_open_audio_device(DeviceFrames, play_audio_callback, reason)) {
        message = "no audio device: " + reason;
        return false;
    }
    device.open = true;
    return true;
}

// Keys, saves and the status line until q, a signal, or the song's end
// (without --watch). A render still running is left behind.
int play_loop(const PlayOptions& options, const std::string& name, Terminal& terminal, FileWatch& watch,
              Render& render)
{
    std::string problem;   // the message of the last save, if it was bad
    bool quit = false;
    while (!quit && !signals_ending()) {
        terminal_stop_if_asked(terminal);
        terminal_take_keys(terminal);
        pollfd fds[3] = {{terminal.raw ? STDIN_FILENO : -1, POLLIN, 0},
                         {watch.fd, POLLIN, 0},
                         {render.running ? render.wake[0] : -1, POLLIN, 0}};
        const int settle = file_watch_wait_ms(watch);
        poll(fds, 3, settle >= 0 ? std::min(settle, StatusIntervalMs) : StatusIntervalMs);
        terminal_read_keys(terminal, *Player.take, quit);
        render_on_save(render, watch, options, name);
        render_collect(render, options, name, terminal.drawing, problem);
        terminal_draw_status(terminal, *Player.take, options.heard,
                             problem.empty() ? Player.take->warning : problem, problem.empty());
        if (Player.finished && !options.watch)
            quit = true;
    }
    const int signal = signals_ending();
    return signal ? 128 + signal : 0;
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
    if (arguments.loop && take_read_bars("--loop", *arguments.loop, options.loopFirst, options.loopEnd, message) < 0)
        return -1;
    if (arguments.from && arguments.loop && (options.from < options.loopFirst || options.from >= options.loopEnd)) {
        message = "--from " + *arguments.from + " is outside --loop " + *arguments.loop + ": start in bars " +
                  std::to_string(options.loopFirst) + " to " + std::to_string(options.loopEnd - 1);
        return -1;
    }
    if (take_read_choice(arguments.solo ? &*arguments.solo : nullptr, arguments.mute ? &*arguments.mute : nullptr,
                         options.tracks, message) < 0)
        return -1;
    options.heard = options.tracks.heard();
    return 0;
}

int song_tool_play(const PlayOptions& options)
{
    const std::string name = score_name(options.song);
    auto take = std::make_unique<Take>();
    if (const int status = first_take(options, name, *take))
        return status;
    std::string message;
    FileWatch watch;
    if (options.watch && !file_watch_start(watch, options.song, message)) {
        std::fprintf(stderr, "velomira-song: %s\n", message.c_str());
        return ExitFailure;
    }
    player_start(options, std::move(take));

    Device device;
    if (!device_open(device, message)) {
        std::fprintf(stderr, "velomira-song: %s\n", message.c_str());
        return ExitFailure;
    }
    signals_catch_for_playing();
    Render render;
    Terminal terminal;
    terminal_open(terminal);
    if (!terminal.drawing && !Player.take->warning.empty())
        std::fprintf(stderr, "%s\n", Player.take->warning.c_str());
    SDL_PauseAudio(0);
    const int status = play_loop(options, name, terminal, watch, render);
    if (render.running)
        end_during_render(terminal, status);
    return status;
}

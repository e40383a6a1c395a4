// The demo program's own logic, kept free of SDL so it can be tested
// headless: the command-line rule, --help and --version, the presentation
// defaults handed to SDL through the environment, the palette, and the
// pre-render loop. SDL itself is met only in main.cpp and frame_loop.cpp.
//
// Order of use in main: demo_take_song_option, demo_answer_info_request (and
// return if it answered), demo_set_presentation_defaults before SDL_Init,
// demo_video_flags, then demo_load_song and demo_prepare_show on the way to
// the first frame.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// SDL 1.2's video-mode flags, checked against SDL's own values in main.cpp.
inline constexpr uint32_t DemoFullscreen = 0x80000000u;
inline constexpr uint32_t DemoDoubleBuffer = 0x40000000u;

// Full screen and double-buffered, or windowed when argv[1] is exactly "-w";
// a program name ending in 'w' inverts the full-screen choice.
uint32_t demo_video_flags(int argc, const char* const* argv);

// Takes "--song FILE" (or "--song=FILE") out of the command line, wherever
// it stands, so that what remains reads exactly as without it. 0 with file
// set to FILE, or "" when the option is absent or FILE is "-" (the embedded
// score, as velomira-song reads it); -1 with a message when --song has no
// file after it, an empty one, or is given more than once.
int demo_take_song_option(int& argc, char** argv, std::string& file, std::string& message);

// Takes every flag (such as "--watch") out of the command line, wherever it
// stands, like demo_take_song_option; true when it was there.
bool demo_take_flag(int& argc, char** argv, const char* flag);

// "velomira " followed by this is what --version prints.
extern const char* const DemoVersion;

// When argv[1] is exactly "--help" or "--version", writes the usage text or
// the version line to out and returns true: the program then exits with
// status 0 before touching SDL. Any other command line returns false and
// plays as usual (the first argument other than "-w" is ignored).
bool demo_answer_info_request(int argc, const char* const* argv, std::FILE* out);

// sdl12-compat presents each flip at once and scales a full-screen 640x480
// screen with a blur unless told otherwise. Sets SDL12COMPAT_SYNC_TO_VBLANK=1
// (each flip waits for the display's refresh, so the loop runs at the
// display's pace, without tearing) and SDL12COMPAT_SCALE_METHOD=nearest
// (crisp pixels), each only when the user has not set it. The scale method is
// read by SDL_Init, the vsync choice by SDL_SetVideoMode: call before both.
void demo_set_presentation_defaults();

// One palette entry, laid out like SDL_Color.
struct PaletteEntry {
    uint8_t r, g, b, unused;
};

// Index i is a brightness: red = green = i, blue a tint of min(255, 100i/85).
inline PaletteEntry DemoPalette[256];
void demo_build_palette();

inline constexpr int32_t PrerenderBlockSamples = 1024;
inline constexpr int32_t PrerenderLastBar = 60;   // render until bar 61 is reached

// Blocks the pre-render takes at the bar clock's tempo.
int32_t demo_prerender_blocks();

// Makes SongBufferSamples long enough for the pre-render at the bar clock's
// tempo; -1 with the reason when that is more than SongBufferCapacity.
int demo_size_song(std::string& reason);

// Renders the song into the SongBuffer 1024 samples at a time until
// song_bar(SongPosition) exceeds PrerenderLastBar, writing one '.' (flushed)
// to dots, when it is not null, each time the bar number changes.
// Returns the number of blocks rendered (5051 at 125 bpm: it depends only on
// the bar arithmetic, not on the notes).
int32_t demo_prerender(std::FILE* dots);

// Reads a score ("" or "-": the embedded one) into a fresh synthesizer with
// its show: the music parsed, its show lines read into ShowScript (the
// built-in script without them), the bar clock set to its tempo and the
// song's length (SongBufferSamples) made long enough to reach bar 61. -1 with
// one message ("FILE:LINE: error: ..." and the line as written) when the
// score cannot be read, is rejected, or would need more than ten minutes.
int demo_load_song(const std::string& path, std::string& message);
// The same for a score's text already in hand, named `name` in messages.
int demo_load_text(const std::string& name, const std::string& text, std::string& message);

// What every program does between loading its score and its first frame:
// the pre-render with its dots (and a line feed after them when dots is not
// null), SongPosition back to 0 for playback, and the palette.
void demo_prepare_show(std::FILE* dots);

// The same loop one block at a time, for a caller that must show progress
// between blocks (the browser build): Prerender counts the blocks rendered;
// demo_prerender_block renders the next one and returns the bar reached.
// The song is complete once that bar exceeds PrerenderLastBar.
struct PrerenderState {
    int32_t blocks = 0;
};
inline PrerenderState Prerender;
int32_t demo_prerender_block();

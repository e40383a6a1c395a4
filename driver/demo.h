// The demo program's own logic, kept free of SDL so it can be tested
// headless: the command-line rule, the palette, and the pre-render loop.
// driver/main.cpp is the only file that talks to SDL.
#pragma once

#include <cstdint>
#include <cstdio>

// SDL 1.2's video-mode flags, checked against SDL's own values in main.cpp.
inline constexpr uint32_t DemoFullscreen = 0x80000000u;
inline constexpr uint32_t DemoDoubleBuffer = 0x40000000u;

// Full screen and double-buffered, or windowed when argv[1] is exactly "-w";
// a program name ending in 'w' inverts the full-screen choice.
uint32_t demo_video_flags(int argc, const char* const* argv);

// Takes "--song FILE" (or "--song=FILE") out of the command line, wherever
// it stands, so that what remains reads exactly as without it. Returns FILE;
// "" when the option is absent; nullptr when --song has no file after it.
const char* demo_take_song_option(int& argc, char** argv);

// One palette entry, laid out like SDL_Color.
struct PaletteEntry {
    uint8_t r, g, b, unused;
};

// Index i is a brightness: red = green = i, blue a tint of min(255, 100i/85).
inline PaletteEntry DemoPalette[256];
void demo_build_palette();

inline constexpr int32_t PrerenderBlockSamples = 1024;
inline constexpr int32_t PrerenderLastBar = 60;   // render until bar 61 is reached

// Renders the song into the SongBuffer 1024 samples at a time until
// song_bar(SongPosition) exceeds PrerenderLastBar, writing one '.' (flushed)
// to dots, when it is not null, each time the bar number changes.
// Returns the number of blocks rendered (5051: it depends only on the bar
// arithmetic, not on the song).
int32_t demo_prerender(std::FILE* dots);

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

// The same loop one block at a time, for a caller that must show progress
// between blocks (the browser build): Prerender counts the blocks rendered;
// demo_prerender_block renders the next one and returns the bar reached.
// The song is complete once that bar exceeds PrerenderLastBar.
struct PrerenderState {
    int32_t blocks = 0;
};
inline PrerenderState Prerender;
int32_t demo_prerender_block();

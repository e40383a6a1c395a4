// The embedded score as the demo pre-renders it (5051 blocks of 1024
// samples), rendered once per test process and shared by every test that
// compares against the whole song. The first call leaves the synthesizer
// and the SongBuffer as the demo's start-up does.
#pragma once

#include "driver/demo.h"
#include "playback/playback.h"

#include <cstdint>
#include <string>
#include <vector>

inline const std::vector<int16_t>& embedded_song_render()
{
    static const std::vector<int16_t> song = [] {
        std::string message;
        demo_load_song("", message);
        const int32_t blocks = demo_prerender(nullptr);
        return std::vector<int16_t>(SongBuffer, SongBuffer + blocks * PrerenderBlockSamples);
    }();
    return song;
}

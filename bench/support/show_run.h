// What the show benchmarks share: the embedded song pre-rendered once per
// process (with the palette), and the show played from its start up to a
// frame at the capture's fixed rate, so parameters, spin and levels are what
// they are at that point. Pixels is the frame they draw into.
#pragma once

#include "driver/demo.h"
#include "show/offline.h"
#include "render3d/r3d.h"

#include <cstdint>
#include <string>

inline uint8_t Pixels[FramePixels];

inline void render_music_once()
{
    static bool rendered = false;
    if (rendered)
        return;
    std::string message;
    demo_load_song("", message);
    demo_prepare_show(nullptr);
    rendered = true;
}

inline void play_up_to(int64_t frame)
{
    offline_start();
    for (int64_t k = 0; k <= frame; ++k)
        offline_play_frame(Pixels, k, OfflineMaxFps);
}

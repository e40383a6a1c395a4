// What the show benchmarks share: the embedded song pre-rendered once per
// process (with the palette), and the show played from its start up to a
// frame at the capture's fixed rate, so parameters, spin and levels are what
// they are at that point. Pixels is the frame they draw into.
#pragma once

#include "driver/demo.h"
#include "show/offline.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tools/velomira-capture/y4m.h"   // the frame size

#include <cstdint>

inline uint8_t Pixels[FramePixels];

inline void render_music_once()
{
    static bool rendered = false;
    if (rendered)
        return;
    synth_init(44100);
    song_parse(EmbeddedSong);
    demo_prerender(nullptr);
    demo_build_palette();
    rendered = true;
}

inline void play_up_to(int64_t frame)
{
    offline_start();
    for (int64_t k = 0; k <= frame; ++k)
        offline_play_frame(Pixels, k, OfflineMaxFps);
}

#include "driver/demo.h"

#include "playback/playback.h"
#include "synth/synth.h"

#include <algorithm>
#include <cstring>

uint32_t demo_video_flags(int argc, const char* const* argv)
{
    uint32_t flags = DemoFullscreen | DemoDoubleBuffer;
    if (argc > 1 && std::strcmp(argv[1], "-w") == 0)
        flags = DemoDoubleBuffer;
    const char* name = argc > 0 && argv[0] ? argv[0] : "";
    size_t length = std::strlen(name);
    if (length > 0 && name[length - 1] == 'w')
        flags ^= DemoFullscreen;
    return flags;
}

void demo_build_palette()
{
    for (int i = 0; i < 256; ++i) {
        uint8_t level = uint8_t(i);
        DemoPalette[i] = {level, level, uint8_t(std::min(255, 100 * i / 85)), 0};
    }
}

int32_t demo_prerender_block()
{
    synth_render(SongBuffer + Prerender.blocks * PrerenderBlockSamples, PrerenderBlockSamples);
    ++Prerender.blocks;
    return song_bar(SongPosition.load(std::memory_order_relaxed));
}

int32_t demo_prerender(std::FILE* dots)
{
    Prerender = PrerenderState{};
    int32_t lastBar = 0;
    int32_t bar;
    do {
        bar = demo_prerender_block();
        if (bar != lastBar) {
            if (dots) {
                std::fputc('.', dots);
                std::fflush(dots);
            }
            lastBar = bar;
        }
    } while (bar <= PrerenderLastBar);
    return Prerender.blocks;
}

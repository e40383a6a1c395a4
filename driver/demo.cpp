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

const char* demo_take_song_option(int& argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* file = nullptr;
        int taken = 0;
        if (std::strcmp(argv[i], "--song") == 0) {
            if (i + 1 >= argc)
                return nullptr;
            file = argv[i + 1];
            taken = 2;
        } else if (std::strncmp(argv[i], "--song=", 7) == 0) {
            file = argv[i] + 7;
            taken = 1;
        } else {
            continue;
        }
        for (int j = i; j + taken <= argc; ++j)
            argv[j] = argv[j + taken];   // argv[argc] is the null pointer
        argc -= taken;
        return file;
    }
    return "";
}

void demo_build_palette()
{
    for (int i = 0; i < 256; ++i) {
        uint8_t level = uint8_t(i);
        DemoPalette[i] = {level, level, uint8_t(std::min(255, 100 * i / 85)), 0};
    }
}

int32_t demo_prerender(std::FILE* dots)
{
    int16_t* out = SongBuffer;
    int32_t lastBar = 0;
    int32_t blocks = 0;
    int32_t bar;
    do {
        synth_render(out, PrerenderBlockSamples);
        out += PrerenderBlockSamples;
        ++blocks;
        bar = song_bar(SongPosition.load(std::memory_order_relaxed));
        if (bar != lastBar) {
            if (dots) {
                std::fputc('.', dots);
                std::fflush(dots);
            }
            lastBar = bar;
        }
    } while (bar <= PrerenderLastBar);
    return blocks;
}

// Offline playback at a fixed frame rate: the frame loop's timing without a clock.
#include "show/offline.h"

#include "playback/playback.h"
#include "render3d/r3d.h"
#include "show/levels.h"
#include "show/ribbon.h"
#include "show/show.h"
#include "show/timeline.h"

#include <algorithm>

int32_t offline_frame_ms(int64_t frame, int32_t fps)
{
    return int32_t((frame * 1000 + fps - 1) / fps);
}

int32_t offline_song_position(int32_t ms)
{
    return int32_t(int64_t(ms) * 441 / 10);
}

int64_t offline_last_frame(int32_t fps)
{
    int64_t frame = 0;
    while (song_bar(offline_song_position(offline_frame_ms(frame, fps))) < ShowScript.endBar)
        ++frame;
    return frame;
}

int64_t offline_frame_at(int32_t ms, int32_t fps)
{
    return int64_t(ms) * fps / 1000;
}

void offline_start()
{
    // As at program start: the pipeline's persistent state (line width,
    // lighting, matrices) must not carry over from an earlier run.
    R3d = R3dContext{};
    Show = ShowState{};
    Ribbon = RibbonState{};
    Levels = LevelState{};
    QuitRequested = 0;
}

bool offline_play_frame(uint8_t* pixels, int64_t frame, int32_t fps)
{
    int32_t ms = offline_frame_ms(frame, fps);
    int32_t position = offline_song_position(ms);
    SongPosition.store(position, std::memory_order_relaxed);
    show_levels(SongBuffer + std::min(position, level_window_last_start()));
    show_frame(pixels, ms);
    return QuitRequested != 0;
}

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

namespace {

// The frame's time and song position, and the levels read there.
int32_t enter_frame(int64_t frame, int32_t fps)
{
    int32_t ms = offline_frame_ms(frame, fps);
    int32_t position = offline_song_position(ms);
    SongPosition.store(position, std::memory_order_relaxed);
    show_levels(SongBuffer + std::min(position, level_window_last_start()));
    return ms;
}

}   // namespace

bool offline_play_frame(uint8_t* pixels, int64_t frame, int32_t fps)
{
    show_frame(pixels, enter_frame(frame, fps));
    return QuitRequested != 0;
}

void offline_replay(int64_t frame, int32_t fps)
{
    // The ribbon's twelve-call cycle is back at its start after every drawn
    // frame, and the pipeline keeps only one thing from one drawn frame to
    // the next that the next does not set again: the cross's line width.
    offline_start();
    bool crossed = false;
    for (int64_t k = 0; k <= frame; ++k)
        if (show_advance(enter_frame(k, fps)) && ShowBar <= ShowScript.lastCrossBar)
            crossed = true;
    if (crossed)
        r3d_line_width(ShowCrossLineWidth);
}

// show_frame: tick limiting, the keyframe glide, the camera, the waveform
// cross and the twelve ribbon copies.
#include "show/timeline.h"

#include "playback/playback.h"
#include "render3d/r3d.h"
#include "show/levels.h"
#include "show/ribbon.h"
#include "show/show.h"

#include <cmath>

namespace {

constexpr double TicksPerMs = 0.075;             // 75 drawn frames per second of show time
constexpr double TargetScale = 0.001171875;      // 3% of t * 10/256
constexpr double WavePhaseStep = 0.0030679615757712823;   // pi / 1024
constexpr int32_t WaveStride = 8;                // 128 vertices per strip

void glide_to_row(int32_t row)
{
    // Each drawn frame closes 3% of the distance; formed in double, stored single.
    for (int k = 0; k < 8; ++k)
        ShowParams[k] = float(double(ShowParams[k]) * 0.97 + ShowScript.keyframes[row].targets[k] * TargetScale);
}

// The spin advances once per drawn frame (show_advance); the camera uses it.
void place_camera()
{
    r3d_load_identity();
    r3d_translate(0, 0, ShowParams[ParamCameraDistance]);
    r3d_rotate(float(-18.0 * double(ShowParams[ParamTilt])), 1, 0, 0);
    r3d_rotate(SpinAngle, 0, 0, 1);
}

constexpr int32_t WaveVertices = LevelWindowSamples / WaveStride;

// The grey of each strip vertex, the same every frame: computed once.
struct WaveShades {
    float grey[WaveVertices];
    WaveShades()
    {
        for (int32_t k = 0; k < WaveVertices; ++k)
            grey[k] = float(1.0 - std::sin(k * WaveStride * WavePhaseStep));
    }
};

// Two perpendicular line strips tracing AudioWave, white at the ends and black
// in the middle. They leave the matrices turned by a further 180 degrees,
// which the ribbons inherit: deliberate, the ribbon copies shift with it.
void draw_waveform_cross()
{
    static const WaveShades shades;
    r3d_disable(R3D_LIGHTING);
    r3d_line_width(ShowCrossLineWidth);
    for (int strip = 0; strip < 2; ++strip) {
        r3d_begin(R3D_LINE_STRIP);
        for (int32_t i = 0; i < LevelWindowSamples; i += WaveStride) {
            float c = shades.grey[i / WaveStride];
            r3d_color(c, c, c);
            float x = float((double(float(i) * (1.0f / 1024.0f)) - 0.5) * 2.0);
            r3d_vertex(x, AudioWave[i], -0.3f);
        }
        r3d_end();
        r3d_rotate(90, 0, 0, 1);
    }
}

void draw_ribbons(int32_t ms)
{
    static const float lightColour[3] = {0.4f, 0.4f, 0.4f};
    r3d_light(R3D_SHOW_LIGHT, R3D_LIGHT_COLOR, lightColour);
    r3d_rotate(15, 0, 0, 1);
    // The morph sweeps 0 ... 1 with a period of 2 pi seconds.
    float m = float(std::sin(double(ms) * 0.001) * 0.5 + 0.5);
    // Exactly twelve calls: ribbon_draw rebuilds on the first of every twelve.
    for (int copy = 0; copy < RibbonCopies; ++copy) {
        r3d_rotate(30, 0, 0, 1);
        ribbon_draw(m);
    }
}

} // namespace

int32_t show_keyframe_row(int32_t bar)
{
    const int32_t rows = ShowScript.rows;
    for (int32_t row = 0; row < rows; ++row) {
        int32_t next = row + 1 < rows ? ShowScript.keyframes[row + 1].firstBar : ShowScript.endBar;
        if (bar < next)
            return row;
    }
    return -1;
}

bool show_advance(int32_t ms)
{
    ShowTimeMs = float(ms);
    ShowBar = song_bar(SongPosition.load(std::memory_order_relaxed));
    // The end is requested but this frame is still drawn.
    if (ShowBar > ShowScript.endBar - 1)
        QuitRequested = 1;

    int32_t tick = int32_t(double(ms) * TicksPerMs);
    if (tick == LastTick)
        return false;
    LastTick = tick;

    int32_t row = show_keyframe_row(ShowBar);
    if (row >= 0)
        glide_to_row(row);
    SpinAngle = float(double(ShowParams[ParamSpinSpeed]) * 1.5 + double(SpinAngle));
    return true;
}

void show_frame(uint8_t* pixels, int32_t ms)
{
    r3d_set_target(pixels);
    if (!show_advance(ms))
        return;

    // The frame, its clear included, is recorded, then drawn in two parts of the
    // rows on two threads where there are two cores; the picture is the same as
    // drawing it batch by batch.
    r3d_enable(R3D_DEFER);
    float grey = ShowParams[ParamBackground];
    r3d_clear_color(grey, grey, grey, 1.0f);
    r3d_clear(R3D_COLOUR_BUFFER_BIT | R3D_DEPTH_BUFFER_BIT);
    place_camera();
    if (ShowBar <= ShowScript.lastCrossBar)
        draw_waveform_cross();
    draw_ribbons(ms);
    r3d_disable(R3D_DEFER);
}

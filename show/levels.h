// Audio-reactive levels: the waveform and the smoothed peak of the music
// playing now, read straight from the SongBuffer.
//
// Owns Levels (LevelState): AudioWave, the 1024 samples of the current window
// scaled to [-0.2, 0.2), traced by the waveform cross; AudioLevel, a one-pole
// smoothed five-times peak (normally 0 ... 1) that makes the ribbon wobble.
// Interface: show_levels (show/show.h), once per frame-loop pass, before
// show_frame. It reads ShowBar as the previous show_frame left it. Reset by
// assigning a fresh LevelState.
#pragma once

#include "playback/playback.h"

struct LevelState {
    float wave[LevelWindowSamples] = {};
    float level = 0;
};
inline LevelState Levels;

inline float (&AudioWave)[LevelWindowSamples] = Levels.wave;
inline float& AudioLevel = Levels.level;

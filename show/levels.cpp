// show_levels: one window of the SongBuffer -> AudioWave and AudioLevel.
#include "show/levels.h"

#include "show/show.h"
#include "show/timeline.h"

#include <cmath>

void show_levels(const int16_t* samples)
{
    constexpr double SampleScale = 6.103515625e-06;   // 0.2 / 32768
    float peak = 0;
    for (int32_t i = 0; i < LevelWindowSamples; ++i) {
        float w = float(samples[i] * SampleScale);
        AudioWave[i] = w;
        if (std::fabs(w) >= peak)
            peak = std::fabs(w);
    }
    // Keeps 65% of the previous level per call, so the smoothing follows the
    // loop rate, not the drawn-frame rate.
    AudioLevel = float(double(AudioLevel) * 0.65 + double(float(double(peak) * 5.0)) * 0.35);
    // After the script's last level bar (47 in the built-in show) the ribbon
    // stops wobbling; the waveform is still stored.
    if (ShowBar > ShowScript.lastLevelBar)
        AudioLevel = 0;
}

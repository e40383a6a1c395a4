#include "tests/show/show_fixture.h"

#include "show/show.h"

#include <vector>

namespace {

using AudioLevels = ShowTest;

TEST_F(AudioLevels, SilenceStoresZerosAndDecaysTheLevel)
{
    for (float& w : AudioWave)
        w = 1.0f;
    AudioLevel = 0.8f;
    std::vector<int16_t> window(LevelWindowSamples, 0);
    show_levels(window.data());
    for (float w : AudioWave)
        ASSERT_EQ(w, 0.0f);
    EXPECT_FLOAT_EQ(AudioLevel, 0.8f * 0.65f);
}

TEST_F(AudioLevels, FullScaleSampleRisesOverTwoCalls)
{
    std::vector<int16_t> window(LevelWindowSamples, 0);
    window[700] = -32768;
    show_levels(window.data());
    EXPECT_FLOAT_EQ(AudioWave[700], -0.2f);
    EXPECT_FLOAT_EQ(AudioLevel, 0.35f);
    show_levels(window.data());
    EXPECT_FLOAT_EQ(AudioLevel, 0.5775f);
}

TEST_F(AudioLevels, PeakIsTheLargestMagnitudeOfEitherSign)
{
    std::vector<int16_t> window(LevelWindowSamples, 0);
    window[3] = 16384;
    window[900] = -8000;
    show_levels(window.data());
    EXPECT_FLOAT_EQ(AudioLevel, 0.5f * 0.35f);   // target 0.5
    window[3] = -16384;
    window[900] = 8000;
    Levels = LevelState{};
    show_levels(window.data());
    EXPECT_FLOAT_EQ(AudioLevel, 0.5f * 0.35f);
}

TEST_F(AudioLevels, WaveIsTheWindowScaledToAFifth)
{
    std::vector<int16_t> window(LevelWindowSamples);
    for (int32_t i = 0; i < LevelWindowSamples; ++i)
        window[i] = int16_t(i * 64 - 32768);
    show_levels(window.data());
    EXPECT_FLOAT_EQ(AudioWave[0], -0.2f);
    EXPECT_FLOAT_EQ(AudioWave[512], 0.0f);
    EXPECT_FLOAT_EQ(AudioWave[1023], float(32704 * 0.2 / 32768));
}

TEST_F(AudioLevels, FromBar48TheLevelIsZeroButTheWaveIsKept)
{
    std::vector<int16_t> window(LevelWindowSamples, 12000);
    ShowBar = 47;
    show_levels(window.data());
    EXPECT_GT(AudioLevel, 0.0f);
    ShowBar = 48;
    show_levels(window.data());
    EXPECT_EQ(AudioLevel, 0.0f);
    EXPECT_FLOAT_EQ(AudioWave[10], float(12000 * 0.2 / 32768));
}

TEST_F(AudioLevels, BarComesFromThePreviousFrame)
{
    std::vector<int16_t> window(LevelWindowSamples, 12000);
    at_bar(48);
    show_levels(window.data());   // show_frame has not run yet: bar 0
    EXPECT_GT(AudioLevel, 0.0f);
    uint8_t frame[640 * 480];
    show_frame(frame, 0);
    show_levels(window.data());
    EXPECT_EQ(AudioLevel, 0.0f);
}

} // namespace

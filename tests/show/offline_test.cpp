#include "tests/show/show_fixture.h"

#include "show/offline.h"

namespace {

TEST(OfflineTiming, FrameTimesRoundUpToWholeMilliseconds)
{
    EXPECT_EQ(offline_frame_ms(0, 75), 0);
    EXPECT_EQ(offline_frame_ms(1, 75), 14);
    EXPECT_EQ(offline_frame_ms(3, 75), 40);
    EXPECT_EQ(offline_frame_ms(1, 30), 34);
    EXPECT_EQ(offline_frame_ms(7, 1), 7000);
    EXPECT_EQ(offline_frame_ms(8507, 75), 113427);
}

TEST(OfflineTiming, SongPositionIsTheSamplePlayingThen)
{
    EXPECT_EQ(offline_song_position(0), 0);
    EXPECT_EQ(offline_song_position(1), 44);
    EXPECT_EQ(offline_song_position(1000), 44100);
    EXPECT_EQ(offline_song_position(113427), 5002130);
}

TEST(OfflineTiming, LastFrameIsTheFirstPastBar58)
{
    int64_t last = offline_last_frame(75);
    EXPECT_EQ(last, 8507);
    EXPECT_EQ(song_bar(offline_song_position(offline_frame_ms(last, 75))), 59);
    EXPECT_EQ(song_bar(offline_song_position(offline_frame_ms(last - 1, 75))), 58);
    EXPECT_EQ(offline_last_frame(1), 114);   // 114 s is the first whole second in bar 59
}

TEST(OfflineTiming, FrameAtATimeIsTheOneOnScreen)
{
    EXPECT_EQ(offline_frame_at(0, 75), 0);
    EXPECT_EQ(offline_frame_at(5000, 75), 375);
    EXPECT_EQ(offline_frame_at(13, 75), 0);
    EXPECT_EQ(offline_frame_at(14, 75), 1);
    for (int32_t fps : {1, 24, 30, 60, 75})
        for (int32_t ms = 0; ms < 3000; ms += 7) {
            int64_t k = offline_frame_at(ms, fps);
            EXPECT_LE(offline_frame_ms(k, fps), ms);
            EXPECT_GT(offline_frame_ms(k + 1, fps), ms);
        }
}

using OfflinePlay = ShowTest;

TEST_F(OfflinePlay, At75FpsEveryFrameIsOneTickAndTheLastEndsTheShow)
{
    offline_start();
    int64_t last = offline_last_frame(75);
    for (int64_t k = 0; k <= last; ++k) {
        Fake.batches.clear();
        bool ended = offline_play_frame(pixels, k, 75);
        ASSERT_EQ(LastTick, k) << "frame " << k << " did not start a new tick";
        ASSERT_EQ(ended, k == last) << "frame " << k;
    }
    EXPECT_EQ(Fake.clears, last + 1);
}

TEST_F(OfflinePlay, LevelsReadTheWindowAtTheFramesSample)
{
    SongBuffer[44100] = -32768;
    offline_start();
    offline_play_frame(pixels, 1, 1);   // ms 1000
    EXPECT_EQ(SongPosition.load(), 44100);
    EXPECT_FLOAT_EQ(AudioWave[0], -0.2f);
    EXPECT_FLOAT_EQ(AudioLevel, 0.35f);
    SongBuffer[44100] = 0;
}

TEST_F(OfflinePlay, WindowIsHeldInsideTheSongBuffer)
{
    SongBuffer[level_window_last_start()] = 32767;
    offline_start();
    offline_play_frame(pixels, 121, 1);   // 121 s: past the end of the buffer
    EXPECT_FLOAT_EQ(AudioWave[0], float(32767 * 6.103515625e-06));
    SongBuffer[level_window_last_start()] = 0;
}

TEST_F(OfflinePlay, StartResetsTheShow)
{
    offline_start();
    offline_play_frame(pixels, 0, 75);
    offline_play_frame(pixels, 1, 75);
    QuitRequested = 1;
    offline_start();
    EXPECT_EQ(LastTick, 1000);
    EXPECT_EQ(ShowParams[0], 0.0f);
    EXPECT_EQ(SpinAngle, 0.0f);
    EXPECT_EQ(RibbonCounter, 0);
    EXPECT_EQ(QuitRequested, 0);
}

} // namespace

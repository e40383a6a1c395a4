// The time base: bar numbers, the audio callback, the level window, the clock.
#include "playback/playback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct PlaybackTest : ::testing::Test {
    void SetUp() override
    {
        SongBufferSamples = SongBufferMinSamples;
        std::memset(SongBuffer, 0, sizeof(int16_t) * size_t(SongBufferSamples));
        SongPosition.store(0);
        Clock = PlaybackClock{};
        BarClock = BarClockState{};
    }
    void TearDown() override { SetUp(); }
};

// Decodes one stereo frame of the callback's output.
std::pair<int16_t, int16_t> frame_at(const std::vector<uint8_t>& stream, int i)
{
    int16_t lr[2];
    std::memcpy(lr, stream.data() + 4 * i, 4);
    return {lr[0], lr[1]};
}

TEST_F(PlaybackTest, SongBarStartsEachBarAtItsFirstSample)
{
    EXPECT_EQ(song_bar(0), 0);
    EXPECT_EQ(song_bar(1024), 0);
    EXPECT_EQ(song_bar(91022), 0);
    EXPECT_EQ(song_bar(91023), 1);
    EXPECT_EQ(song_bar(175694), 1);
    EXPECT_EQ(song_bar(175695), 2);
    EXPECT_EQ(song_bar(4917326), 57);
    EXPECT_EQ(song_bar(4917327), 58);
    EXPECT_EQ(song_bar(5001998), 58);
    EXPECT_EQ(song_bar(5001999), 59);
    EXPECT_EQ(song_bar(5086671), 60);
    EXPECT_EQ(song_bar(5171342), 60);
    EXPECT_EQ(song_bar(5171343), 61);
    EXPECT_EQ(song_bar(5172224), 61);
}

// Bars at a score's own tempo: four rows a beat, the same 0.3-beat offset,
// bar 1 at beat 4.3 and bar 61 at beat 244.3. At 125 bpm the clock is
// exactly the built-in one.
TEST_F(PlaybackTest, SongBarFollowsTheScoresTempo)
{
    song_bar_follow(5292);
    EXPECT_EQ(BarClock.beatsPerSecond, 2.0833333333333335);
    EXPECT_EQ(song_bar_start(61), 5171343);
    // rowLength: samples per row; bar b begins at beat 4b + 0.3, 4 rows a beat.
    for (int32_t rowLength : {4725, 7350}) {   // 140 and 90 bpm
        song_bar_follow(rowLength);
        for (int32_t bar : {1, 8, 61}) {
            const double exact = (4.0 * bar + 0.3) * 4.0 * rowLength;
            const int32_t start = song_bar_start(bar);
            EXPECT_NEAR(start, exact, 2.0) << rowLength << " bar " << bar;
            EXPECT_EQ(song_bar(start), bar);
            EXPECT_EQ(song_bar(start - 1), bar - 1);
        }
    }
    song_bar_follow(0);   // no tempo: the built-in clock
    EXPECT_EQ(song_bar_start(61), 5171343);
}

TEST_F(PlaybackTest, SongBarNeverSkipsABarBetweenBlocks)
{
    int32_t previous = 0;
    for (int32_t position = 0; position <= 5172224; position += 1024) {
        int32_t bar = song_bar(position);
        EXPECT_TRUE(bar == previous || bar == previous + 1) << "at " << position;
        previous = bar;
    }
    EXPECT_EQ(previous, 61);
}

TEST_F(PlaybackTest, CallbackCopiesEachSampleToBothChannels)
{
    for (int32_t i = 0; i < 5000; ++i)
        SongBuffer[i] = int16_t(i * 13 - 30000);
    std::vector<uint8_t> stream(16384, 0xAA);
    song_audio_callback(nullptr, stream.data(), int(stream.size()));
    EXPECT_EQ(SongPosition.load(), 4096);
    for (int i = 0; i < 4096; ++i) {
        auto [left, right] = frame_at(stream, i);
        ASSERT_EQ(left, SongBuffer[i]) << "frame " << i;
        ASSERT_EQ(right, SongBuffer[i]) << "frame " << i;
    }
    // The next call continues where the first stopped.
    song_audio_callback(nullptr, stream.data(), 8);
    EXPECT_EQ(frame_at(stream, 0).first, SongBuffer[4096]);
    EXPECT_EQ(frame_at(stream, 1).second, SongBuffer[4097]);
    EXPECT_EQ(SongPosition.load(), 4098);
}

TEST_F(PlaybackTest, CallbackWithLessThanOneFrameWritesNothing)
{
    SongBuffer[0] = 1234;
    for (int len : {0, 1, 3}) {
        std::vector<uint8_t> stream(4, 0x55);
        song_audio_callback(nullptr, stream.data(), len);
        EXPECT_EQ(SongPosition.load(), 0) << "len " << len;
        EXPECT_EQ(stream, std::vector<uint8_t>(4, 0x55)) << "len " << len;
    }
    // A partial frame at the end of a request is left alone as well.
    std::vector<uint8_t> stream(7, 0x55);
    song_audio_callback(nullptr, stream.data(), 7);
    EXPECT_EQ(SongPosition.load(), 1);
    EXPECT_EQ(frame_at(stream, 0).first, 1234);
    EXPECT_EQ(stream[4], 0x55);
}

TEST_F(PlaybackTest, CallbackPlaysSilenceBeyondTheEndWithoutAdvancing)
{
    SongBuffer[SongBufferSamples - 2] = 111;
    SongBuffer[SongBufferSamples - 1] = -222;
    SongPosition.store(SongBufferSamples - 2);
    std::vector<uint8_t> stream(16, 0xAA);
    song_audio_callback(nullptr, stream.data(), 16);
    EXPECT_EQ(frame_at(stream, 0), std::make_pair(int16_t(111), int16_t(111)));
    EXPECT_EQ(frame_at(stream, 1), std::make_pair(int16_t(-222), int16_t(-222)));
    EXPECT_EQ(frame_at(stream, 2), std::make_pair(int16_t(0), int16_t(0)));
    EXPECT_EQ(frame_at(stream, 3), std::make_pair(int16_t(0), int16_t(0)));
    EXPECT_EQ(SongPosition.load(), SongBufferSamples);

    // A device that keeps pulling gets silence and the position stays put.
    std::fill(stream.begin(), stream.end(), 0xAA);
    song_audio_callback(nullptr, stream.data(), 16);
    EXPECT_EQ(stream, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(SongPosition.load(), SongBufferSamples);
}

TEST_F(PlaybackTest, LevelWindowFollowsTheSamplePlayingAtTheShowTime)
{
    EXPECT_EQ(level_window_start(0), 0u);
    EXPECT_EQ(level_window_start(1), 44u);          // byte offset 88
    EXPECT_EQ(level_window_start(1000), 44100u);    // byte offset 88,200
    EXPECT_EQ(level_window_start(113400), 5000940u);
    // ⌊elapsed × 44.1⌋: 3 ms is byte offset 264.6 → 264, sample 132.
    EXPECT_EQ(level_window_start(3), 132u);
    EXPECT_EQ(level_window_start(7), 308u);         // byte 617.4 → 617 → even 616
}

TEST_F(PlaybackTest, LevelWindowStaysInsideTheSongBuffer)
{
    // 119,976 ms is the last time whose window fits; later times hold there.
    EXPECT_EQ(level_window_start(119976), 5290941u);
    EXPECT_EQ(level_window_start(119977), uint32_t(level_window_last_start()));
    for (uint32_t ms : { 120000u, 200000u, 9000000u})
        EXPECT_EQ(level_window_start(ms), uint32_t(level_window_last_start())) << ms;
    for (uint32_t ms = 0; ms < 10000000u; ms += 997)
        ASSERT_LE(level_window_start(ms) + LevelWindowSamples, uint32_t(SongBufferSamples)) << ms;
}

TEST_F(PlaybackTest, ClockStartsAtZeroAndCountsForward)
{
    EXPECT_EQ(Clock.start, -1);
    EXPECT_EQ(playback_clock_ms(), 0u);
    EXPECT_NE(Clock.start, -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint32_t later = playback_clock_ms();
    EXPECT_GE(later, 20u);
    EXPECT_GE(playback_clock_ms(), later);
}

} // namespace

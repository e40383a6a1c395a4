// The demo's own score: its text, its shape, and how it plays.
#include "synth/embedded_song.h"

#include "synth_test_support.h"
#include "tests/support/embedded_render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

std::vector<std::string> text_lines()
{
    std::vector<std::string> lines;
    std::istringstream in(EmbeddedSong);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

class EmbeddedScore : public ::testing::Test {
protected:
    void SetUp() override
    {
        synth_reset();
        ASSERT_EQ(parse_text(EmbeddedSong), 0) << song_error();
    }

    // Rows of pattern n (cells before PatternEnd; the score has no arguments).
    static std::vector<int32_t> rows(int32_t n)
    {
        std::vector<int32_t> out;
        for (int32_t c : Song.patterns[n]) {
            if (c == PatternEnd)
                break;
            out.push_back(c);
        }
        return out;
    }
};

TEST(EmbeddedText, IsPlainLinesInTheExpectedOrder)
{
    const std::string text = EmbeddedSong;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find('\t'), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = text_lines();
    ASSERT_EQ(lines.size(), 36u);
    EXPECT_EQ(lines[0], "bpm:125");
    EXPECT_EQ(lines[6], ";i6:saha,2,3,1,10000,00,0");
    const char* heads[] = {"i1:", "i2:", "i3:", "i4:", "i5:", ";i6", "i6:", "i7:", "i8:", "i9:"};
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(lines[size_t(1 + i)].substr(0, 3), heads[i]);
    for (int p = 1; p <= 16; ++p) {
        const std::string& line = lines[size_t(10 + p)];
        EXPECT_EQ(line[0], 'p');
        EXPECT_EQ(std::atoi(line.c_str() + 1), p);
    }
    for (int t = 1; t <= 9; ++t) {
        const std::string& line = lines[size_t(26 + t)];
        EXPECT_EQ(line[0], 't');
        EXPECT_EQ(std::atoi(line.c_str() + 1), t);
    }
    for (const std::string& line : lines) {
        if (line[0] != 'p') {
            EXPECT_EQ(line.find(' '), std::string::npos) << line;
        }
    }
}

TEST_F(EmbeddedScore, HasTheDemosTempoAndInstruments)
{
    EXPECT_EQ(Song.RowLength, 5292);
    EXPECT_EQ(Song.EchoLength, 15876);
    struct Expected {
        int32_t waveform, attack, decay, sustain, release, modRate, sweep, sampleLength;
    } expected[] = {
        {WaveSine, 2, 13, 30, 3700, 0, -60, 3746},   {WaveSaw, 2, 5, 30, 2300, 0, 2, 2338},
        {WaveNoise, 2, 5, 1, 2300, 0, -2, 2309},     {WaveNoise, 2, 4, 1, 2300, 0, 0, 2308},
        {WaveSaw, 2, 5, 1, 3000, 0, 0, 3009},        {WaveSaw, 2, 4, 1, 19000, 0, 0, 19008},
        {WaveSaw, 2, 4, 1, 3000, 1000, 0, 3008},     {WaveSquare, 2, 3, 1, 3000, 39120390, -2, 3007},
        {WaveSaw, 2, 5, 1, 40000, 100, 500, 40009},
    };
    for (int32_t n = 1; n <= 9; ++n) {
        const Instrument& ins = Song.instruments[n];
        const Expected& e = expected[n - 1];
        EXPECT_EQ(ins.waveform, e.waveform) << n;
        EXPECT_EQ(ins.attack, e.attack) << n;
        EXPECT_EQ(ins.decay, e.decay) << n;
        EXPECT_EQ(ins.sustain, e.sustain) << n;
        EXPECT_EQ(ins.release, e.release) << n;
        EXPECT_EQ(ins.modRate, e.modRate) << n;
        EXPECT_EQ(ins.sweep, e.sweep) << n;
        EXPECT_EQ(ins.sampleLength, e.sampleLength) << n;
        EXPECT_EQ(ins.echoLine, std::vector<float>(15876, 0.0f)) << n;
    }
    EXPECT_EQ(Song.instruments[0].sampleLength, 0);
    EXPECT_EQ(Song.instruments[10].sampleLength, 0);
}

TEST_F(EmbeddedScore, PatternsHaveTheirShapes)
{
    EXPECT_EQ(rows(1), std::vector<int32_t>{0});
    EXPECT_EQ(rows(2), std::vector<int32_t>{CmdEcho1});
    EXPECT_EQ(rows(8), std::vector<int32_t>{0});
    EXPECT_EQ(rows(11), std::vector<int32_t>{0});
    for (int32_t p : {3, 4, 5, 6})
        EXPECT_EQ(rows(p).size(), 32u) << p;
    EXPECT_EQ(rows(7).size(), 64u);
    EXPECT_EQ(rows(9).size(), 8u);
    EXPECT_EQ(rows(10).size(), 8u);
    EXPECT_EQ(rows(12), std::vector<int32_t>(60, 0));
    EXPECT_EQ(rows(13), std::vector<int32_t>(4, 0));
    for (int32_t p : {14, 15, 16}) {
        const std::vector<int32_t> beat = rows(p);
        ASSERT_EQ(beat.size(), 4u) << p;
        EXPECT_GT(beat[0], 0) << p;
        EXPECT_EQ(std::vector<int32_t>(beat.begin() + 1, beat.end()), std::vector<int32_t>(3, 0)) << p;
    }
    // Notes from c1 to g6; echo1 (in pattern 2) is the only command.
    for (int32_t p = 1; p <= 16; ++p)
        for (int32_t c : rows(p)) {
            if (p != 2) {
                EXPECT_GE(c, 0) << "pattern " << p;
            }
            if (c > 0) {
                EXPECT_GE(c, note_value("c1")) << "pattern " << p;
                EXPECT_LE(c, note_value("g6")) << "pattern " << p;
            }
        }
}

TEST_F(EmbeddedScore, TracksStartWithOneRowAndLoopAfterTheDemo)
{
    EXPECT_EQ(song_played_tracks(), 9);
    const int32_t echoTracks[] = {3, 4, 6, 8, 9};
    for (int32_t t = 1; t <= 9; ++t) {
        const Track& track = Song.tracks[t];
        const bool echo = std::find(std::begin(echoTracks), std::end(echoTracks), t) != std::end(echoTracks);
        EXPECT_EQ(track[0], echo ? 2 : 1) << t;
        int32_t entries = 0, rowsBeforeLoop = 0;
        while (track[size_t(entries)] >= 0)
            rowsBeforeLoop += int32_t(rows(track[size_t(entries++)]).size());
        EXPECT_GE(entries, 27) << t;
        EXPECT_LE(entries, 62) << t;
        EXPECT_EQ(track[size_t(entries)], TrackLoop) << t;
        EXPECT_EQ(track[size_t(entries + 1)], TrackEnd) << t;
        // The loop comes after bar 61 (row 977), where pre-rendering stops:
        // no track drifts while the show plays.
        EXPECT_GT(rowsBeforeLoop, 977) << t;
    }
}

TEST_F(EmbeddedScore, RendersTheSameInAnyBlockSizeAndRarelyClips)
{
    const std::vector<int16_t>& blocks = embedded_song_render();
    const int32_t total = int32_t(blocks.size());
    int64_t clipped = 0, silent = 0;
    for (int16_t v : blocks) {
        clipped += v == 32766 || v == -32766;
        silent += v == 0;
    }
    EXPECT_LT(clipped, total / 500);   // under 0.2 %: peaks of the kick, not a wall
    EXPECT_LT(silent, total / 20);

    synth_reset();
    ASSERT_EQ(parse_text(EmbeddedSong), 0);
    EXPECT_EQ(render(total, 4093), blocks);
}

}   // namespace

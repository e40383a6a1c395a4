// Note values, wave tables and the rendering of instruments.
#include "synth_test_support.h"

#include "synth/noise_random.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

class Instruments : public ::testing::Test {
protected:
    void SetUp() override { synth_reset(); }

    // Parses one instrument line as instrument 1 and returns its samples.
    static const std::vector<float>& render_line(const std::string& line)
    {
        EXPECT_EQ(parse_text("bpm:125\ni1:" + line + "\n"), 0) << song_error();
        return Song.instruments[1].samples;
    }
};

TEST_F(Instruments, NoteValuesHalveOctaveByOctaveWithTruncation)
{
    EXPECT_EQ(note_value("a4"), 440);
    EXPECT_EQ(note_value("c1"), 32);
    EXPECT_EQ(note_value("b1"), 61);
    EXPECT_EQ(note_value("b6"), 1976);
    EXPECT_EQ(note_value("C5"), 554);
    EXPECT_EQ(note_value("C1"), 34);
    const char* octave4[] = {"c4", "C4", "d4", "D4", "e4", "f4", "F4", "g4", "G4", "a4", "A4", "b4"};
    const int32_t values[] = {261, 277, 293, 311, 329, 349, 370, 392, 415, 440, 466, 494};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(note_value(octave4[i]), values[i]) << octave4[i];
    EXPECT_EQ(note_value("E4"), CellEmpty);
    EXPECT_EQ(note_value("0"), CellEmpty);   // the end entry never matches
    EXPECT_EQ(note_value("sld"), CmdSld);
}

TEST_F(Instruments, WaveTablesSpanOnePeriodOfTheBasePitch)
{
    ASSERT_EQ(Synth.WaveTableLength, 168);
    const std::vector<float>& square = Synth.WaveTable[WaveSquare];
    const std::vector<float>& sine = Synth.WaveTable[WaveSine];
    const std::vector<float>& saw = Synth.WaveTable[WaveSaw];
    ASSERT_EQ(square.size(), 168u);
    for (int i = 0; i < 168; ++i)
        EXPECT_EQ(square[size_t(i)], i < 84 ? -1.0f : 1.0f) << i;
    EXPECT_EQ(sine[0], 0.0f);
    EXPECT_EQ(sine[42], 1.0f);
    EXPECT_EQ(sine[126], -1.0f);
    EXPECT_EQ(saw[0], 0.0f);
    EXPECT_EQ(saw[84], -1.0f);
    EXPECT_GT(saw[83], 0.98f);
    EXPECT_LT(saw[167], 0.0f);
    EXPECT_GT(saw[167], -0.02f);
}

TEST_F(Instruments, NoiseTableIsTheUnseededRandSequence)
{
    const std::vector<float>& noise = Synth.WaveTable[WaveNoise];
    ASSERT_EQ(noise.size(), 44100u);
    std::vector<float> first = noise;
    noise_random_next();   // whatever ran before, the table comes out the same
    synth_init(44100);
    EXPECT_EQ(Synth.WaveTable[WaveNoise], first);
    noise_random_seed(1);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(noise[size_t(i)], float(noise_random_next() % 2000 - 1000) * 0.001f);
    for (float v : noise) {
        ASSERT_GE(v, -1.0f);
        ASSERT_LE(v, 999 * 0.001f);
    }
}

// The generator must be glibc's, whatever C library the program is built on:
// the first numbers of glibc's rand() are documented, and where the build is
// on glibc the whole of the noise table's stretch is compared with it.
TEST(NoiseRandom, GivesGlibcRandSequence)
{
    noise_random_seed(1);
    EXPECT_EQ(noise_random_next(), 1804289383);
    EXPECT_EQ(noise_random_next(), 846930886);
    EXPECT_EQ(noise_random_next(), 1681692777);
    noise_random_seed(0);   // 0 is taken as 1
    EXPECT_EQ(noise_random_next(), 1804289383);
#ifdef __GLIBC__
    for (uint32_t seed : {1u, 12345u, 0x80000001u, 0xffffffffu}) {
        std::srand(seed);
        noise_random_seed(seed);
        for (int i = 0; i < 100000; ++i)
            ASSERT_EQ(noise_random_next(), std::rand()) << "seed " << seed << ", number " << i;
    }
#endif
}

TEST_F(Instruments, DecayFallsWithTheAttackSlopeAndOvershootsBelowZero)
{
    // Square: the first 84 table entries are -1, so the samples are -amp.
    const std::vector<float>& s = render_line("kantti,2,13,30,100,0");
    ASSERT_EQ(s.size(), 146u);
    const float expected[] = {0.0f, 0.5f, 1.0f, 0.5f, 0.0f, -0.5f, -1.0f, -1.5f, -2.0f,
                              -2.5f, -3.0f, -3.5f, -4.0f, -4.5f, -5.0f};
    for (int j = 0; j < 15; ++j)
        EXPECT_EQ(-s[size_t(j)], expected[j]) << j;
    for (int j = 15; j < 45; ++j)
        EXPECT_EQ(-s[size_t(j)], -5.5f) << j;   // sustain holds the overshoot
    EXPECT_GT(s[83], 0.0f);   // from entry 84 the square is +1: the sign turns
    EXPECT_LT(s[84], 0.0f);
    EXPECT_EQ(s.back(), 0.0f);
}

TEST_F(Instruments, ReleaseMovesLinearlyToZero)
{
    const std::vector<float>& s = render_line("kantti,1,0,0,4,0");
    // amp 0 (attack), then release from 1.0 in four steps of 0.25.
    EXPECT_EQ(s, (std::vector<float>{-0.0f, -1.0f, -0.75f, -0.5f, -0.25f, 0.0f}));
}

TEST_F(Instruments, ZeroAttackOrReleaseActsAsOne)
{
    std::vector<float> one = render_line("saha,1,3,5,7,0");
    std::vector<float> zero = render_line("saha,0,3,5,7,0");
    ASSERT_EQ(zero.size(), one.size() - 1);
    EXPECT_EQ(std::vector<float>(one.begin(), one.end() - 1), zero);   // zero fills every entry
    std::vector<float> zeroRelease = render_line("saha,1,3,5,0,0");
    EXPECT_EQ(zeroRelease.back(), one[9]);
}

TEST_F(Instruments, ShortestSquareLeavesItsLastElementUnwritten)
{
    EXPECT_EQ(render_line("kantti,1,0,0,1,0"), (std::vector<float>{0.0f, -1.0f, 0.0f}));
}

TEST_F(Instruments, NoiseIsReadInOrderAndWrapsAtTheSampleRate)
{
    const std::vector<float>& s = render_line("kohina,1,0,50000,1,0");
    const std::vector<float>& noise = Synth.WaveTable[WaveNoise];
    for (size_t j = 1; j <= 50000; ++j)
        ASSERT_EQ(s[j], noise[j % 44100]) << j;
}

TEST_F(Instruments, RingModulationAtTheBasePitchSquaresTheSine)
{
    // A sine times a sine of the same frequency is never (noticeably) negative
    // and averages one half; modRate 1000 changes sign ten times as often.
    const std::vector<float>& s = render_line("sini,1,0,1680,1,100");
    double sum = 0;
    for (size_t j = 1; j <= 1680; ++j) {
        ASSERT_GT(s[j], -0.001f) << j;
        sum += s[j];
    }
    EXPECT_NEAR(sum / 1680, 0.5, 0.01);

    const std::vector<float>& plain = render_line("sini,1,0,1680,1,0");
    int32_t plainFlips = 0;
    for (size_t j = 2; j <= 1680; ++j)
        plainFlips += (plain[j] < 0) != (plain[j - 1] < 0);
    const std::vector<float>& fast = render_line("sini,1,0,1680,1,1000");
    int32_t fastFlips = 0;
    for (size_t j = 2; j <= 1680; ++j)
        fastFlips += (fast[j] < 0) != (fast[j - 1] < 0);
    EXPECT_NEAR(plainFlips, 20, 1);   // 10 periods of the sine
    EXPECT_GT(fastFlips, 150);        // 100 periods of the modulator, less coincidences
}

TEST_F(Instruments, RingModulationProductIsDouble)
{
    const std::vector<float>& s = render_line("saha,1,0,10,1,39120390");
    const float lfoStep = float(2.0 * 3.141592653589793 * 39120390.0 * 0.01 / 168.0);
    float lfo = 0.0f;
    for (int j = 0; j < 5; ++j)
        lfo = lfo + lfoStep;
    const float dry = 1.0f * Synth.WaveTable[WaveSaw][5];
    EXPECT_EQ(s[5], float(double(dry) * std::sin(double(lfo))));
}

TEST_F(Instruments, PositiveSweepRaisesThePitch)
{
    const std::vector<float>& s = render_line("saha,2,5,1,40000,100,500");
    auto wraps = [&](size_t from, size_t to) {
        int32_t n = 0;
        for (size_t j = from + 1; j < to; ++j)
            n += (s[j] < 0) != (s[j - 1] < 0);
        return n;
    };
    EXPECT_GT(wraps(20000, 30000), wraps(1000, 10000) * 2);
}

TEST_F(Instruments, FallingSweepReadsBackwardsAndWrapsBelowZero)
{
    // Phase step 1 - 0.1 * j / 168 turns negative after 1680 samples and the
    // phase after about 3360; the table index then wraps with a true modulo.
    const std::vector<float>& s = render_line("kantti,1,0,6000,1,0,-100");
    const float sweepStep = float(-100 * 0.001 / 168);
    float phase = 0.0f, step = 1.0f;
    bool wentNegative = false;
    for (size_t j = 0; j < 6000; ++j) {
        int32_t index = int32_t(phase) % 168;
        if (index < 0)
            index += 168;
        if (j >= 1) {
            ASSERT_EQ(s[j], Synth.WaveTable[WaveSquare][size_t(index)]) << j;
        }
        wentNegative |= phase < -200.0f;
        phase = phase + step;
        step = step + sweepStep;
    }
    EXPECT_TRUE(wentNegative);
}

TEST_F(Instruments, KickStaysWithinItsOvershootAmplitude)
{
    // Instrument 1 of the demo: the decay overshoots to -5.5, inside the mix limit.
    const std::vector<float>& s = render_line("sini,2,13,30,3700,0,-60");
    ASSERT_EQ(s.size(), 3746u);
    float amp = 0;
    for (float v : s)
        amp = std::max(amp, std::fabs(v));
    EXPECT_LE(amp, 5.5f);
    EXPECT_GT(amp, 5.0f);
}

}   // namespace

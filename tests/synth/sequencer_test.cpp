// Row timing, notes, echo, commands and the output stage of synth_render,
// and the fast mixer against the literal one.
#include "synth_test_support.h"
#include "tests/support/embedded_render.h"

#include "synth/embedded_song.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

namespace {

constexpr int32_t Row = 5292;      // samples per row at 125 bpm
constexpr int32_t Echo = 15876;    // 3 rows

// A square voice that holds a constant level: samples are 0 (attack), then
// -level while the phase is in the table's first half.
const std::string Bpm = "bpm:125\n";

class Sequencer : public ::testing::Test {
protected:
    void SetUp() override { synth_reset(); }

    static std::vector<int16_t> play(const std::string& text, int32_t samples, int32_t block = 1024)
    {
        synth_reset();
        EXPECT_EQ(parse_text(text), 0) << song_error();
        return render(samples, block);
    }

    static int32_t first_nonzero(const std::vector<int16_t>& out, int32_t from = 0)
    {
        for (size_t i = size_t(from); i < out.size(); ++i)
            if (out[i] != 0)
                return int32_t(i);
        return -1;
    }
};

TEST_F(Sequencer, RowsStepEveryRowLengthWhateverTheBlockSize)
{
    // A note on row 2. c4 steps 261/262 per sample, so the attack's 0.0 at
    // index 0 is read twice; the third sample sounds.
    const std::string song = Bpm + "i1:kantti,1,0,20000,1,0\np1:00,00,c4\nt1:p1,loop\n";
    std::vector<int16_t> whole = play(song, 4 * Row, 4 * Row);
    EXPECT_EQ(first_nonzero(whole), 2 * Row + 2);
    for (int32_t block : {1, 7, 1024, Row, Row + 1})
        EXPECT_EQ(play(song, 4 * Row, block), whole) << "block " << block;
    EXPECT_EQ(SongPosition.load(), 4 * Row);
}

TEST_F(Sequencer, NoteStepIsValueOver262)
{
    synth_reset();
    ASSERT_EQ(parse_text(Bpm + "i1:kantti,1,0,20000,1,0\np1:a4\nt1:p1,loop\n"), 0);
    render(1);
    EXPECT_EQ(Synth.voices[1].step, float(440) * (1.0f / 262.0f));
    EXPECT_EQ(Synth.voices[1].playPos, Synth.voices[1].step);
}

TEST_F(Sequencer, PatternsAdvanceAndTracksLoop)
{
    synth_reset();
    ASSERT_EQ(parse_text(Bpm + "i1:kantti,1,0,1,1,0\np1:00,00\np2:00\nt1:p1,p2,loop\n"), 0);
    std::vector<std::pair<int32_t, int32_t>> seen;
    for (int r = 0; r < 5; ++r) {
        render(Row);
        seen.push_back({Synth.voices[1].entryIndex, Synth.voices[1].rowIndex});
    }
    EXPECT_EQ(seen, (std::vector<std::pair<int32_t, int32_t>>{{0, 0}, {0, 1}, {1, 0}, {0, 0}, {0, 1}}));
}

TEST_F(Sequencer, TrackWithoutLoopFinishesAndItsNoteRingsOn)
{
    synth_reset();
    ASSERT_EQ(parse_text(Bpm + "i1:kantti,1,0,20000,1,0\np1:c4\nt1:p1\n"), 0);
    std::vector<int16_t> out = render(3 * Row);
    EXPECT_EQ(Synth.voices[1].entryIndex, -2);
    EXPECT_NE(out[size_t(2 * Row + 5)], 0);   // the note outlives the track
}

TEST_F(Sequencer, NotePlaysSampleLengthOverStepSamples)
{
    // c4 steps 261/262 per sample: 100 samples last ceil(100 * 262/261) = 101.
    std::vector<int16_t> out = play(Bpm + "i1:kantti,1,0,98,1,0\np1:c4\nt1:p1,loop\n", Row);
    EXPECT_EQ(out[0], 0);
    EXPECT_NE(out[99], 0);   // index 98 (trunc of 99 * 0.996), still sustain
    EXPECT_EQ(out[101], 0);
    EXPECT_EQ(Synth.voices[1].playPos, -1.0f);
}

TEST_F(Sequencer, EchoReturnsOneLineLengthMinusOneLater)
{
    // The note's only non-zero sample (-1.0) sounds at position 2; with echo
    // on, 0.2 of it is written there and heard EchoLength - 1 samples later,
    // then recirculates at 0.6 per pass once the voice is silent.
    std::vector<int16_t> out = play(Bpm + "i1:kantti,1,0,0,1,0\np1:echo1\np2:c4\nt1:p1,p2\n",
                                    3 * Echo);
    const int32_t at = Row + 2;
    EXPECT_EQ(out[size_t(at)], -5461);
    EXPECT_EQ(out[size_t(at + Echo - 1)], -1092);       // -0.2 * 5461.17
    EXPECT_EQ(out[size_t(at + 2 * (Echo - 1))], -655);  // -0.12 * 5461.17
    int32_t nonzero = 0;
    for (int16_t v : out)
        nonzero += v != 0;
    EXPECT_EQ(nonzero, 3);
}

TEST_F(Sequencer, EchoOffKeepsTheLineSilentAndEchoZeroLetsItDie)
{
    std::vector<int16_t> dry = play(Bpm + "i1:kantti,1,0,0,1,0\np1:c4\nt1:p1,loop\n", 2 * Echo);
    EXPECT_EQ(dry[size_t(2 + Echo - 1)], 0);

    // echo0 on the row after the note: what is in the line keeps sounding.
    std::vector<int16_t> out =
        play(Bpm + "i1:kantti,1,0,0,1,0\np1:echo1\np2:c4,echo0,00,00,00,00,00,00\nt1:p1,p2,loop\n",
             2 * Echo);
    EXPECT_EQ(out[size_t(Row + 2 + Echo - 1)], -1092);
    EXPECT_EQ(Synth.voices[1].echoOn, 0);
}

TEST_F(Sequencer, StopSilencesTheNoteInItsOwnRow)
{
    std::vector<int16_t> out = play(Bpm + "i1:kantti,1,0,20000,1,0\np1:c4,stop\nt1:p1\n", 3 * Row);
    EXPECT_NE(out[size_t(Row - 1)], 0);
    EXPECT_EQ(first_nonzero(out, Row), -1);
}

TEST_F(Sequencer, SlideBendsEveryLaterNoteUntilReset)
{
    synth_reset();
    ASSERT_EQ(parse_text(Bpm + "i1:kantti,1,0,20000,1,0\np1:sld,-3,c4,c4,sld,0,c4\nt1:p1\n"), 0);
    render(Row);
    EXPECT_EQ(Synth.voices[1].slide, float(-3 * 0.00001));
    render(Row);   // row 1: a note keeps the slide
    render(Row);
    EXPECT_EQ(Synth.voices[1].slide, float(-3 * 0.00001));
    EXPECT_LT(Synth.voices[1].step, float(261) * (1.0f / 262.0f) - 0.1f);
    render(Row);
    EXPECT_EQ(Synth.voices[1].slide, 0.0f);
}

TEST_F(Sequencer, SlideBelowZeroEndsTheNote)
{
    // Step 0.996 falls by 0.0005 per sample: it turns negative after about
    // 2000 samples and playPos goes below zero some 2000 samples later.
    std::vector<int16_t> out = play(Bpm + "i1:kantti,1,0,20000,1,0\np1:sld,-50,c4\nt1:p1\n", 3 * Row);
    int32_t last = 0;
    for (int32_t i = Row; i < 3 * Row; ++i)
        if (out[size_t(i)] != 0)
            last = i;
    EXPECT_GT(last, Row + 3500);
    EXPECT_LT(last, Row + 4500);
    EXPECT_EQ(Synth.voices[1].playPos, -1.0f);
}

TEST_F(Sequencer, VolumeScalesTheTrack)
{
    std::vector<int16_t> full = play(Bpm + "i1:kantti,1,0,2000,1,0\np1:c4\nt1:p1\n", 1000);
    std::vector<int16_t> half = play(Bpm + "i1:kantti,1,0,2000,1,0\np1:vol,50,c4\nt1:p1\n", Row + 1000);
    std::vector<int16_t> mute = play(Bpm + "i1:kantti,1,0,2000,1,0\np1:vol,0,c4\nt1:p1\n", Row + 1000);
    EXPECT_EQ(full[50], -5461);
    EXPECT_EQ(half[size_t(Row + 50)], -2730);
    EXPECT_EQ(first_nonzero(mute), -1);
    EXPECT_EQ(Synth.voices[1].volume, 0.0f);
}

TEST_F(Sequencer, SumIsClampedToSixAndScaledBelow32767Over6)
{
    // Square with attack 1: amp after a decay of d is 1 - d; a slope of 0.5
    // (attack 2) gives 1 - d/2. The sustain then holds +-level.
    struct Case {
        const char* envelope;
        int16_t level;
    } cases[] = {{"1,4", 16383}, {"1,2", 5461}, {"1,7", 32766}, {"2,17", 32766}, {"1,101", 32766}};
    for (const Case& c : cases) {
        std::vector<int16_t> out =
            play(Bpm + "i1:kantti," + c.envelope + ",2000,1,0\np1:c4\nt1:p1\n", 400);
        EXPECT_EQ(out[50], c.level) << c.envelope;     // table's first half: -1 * -level
        EXPECT_EQ(out[150], int16_t(-c.level)) << c.envelope;
    }
}

TEST_F(Sequencer, NotANumberClampsToMinusSixInEveryBlockSize)
{
    // No score produces these sums; the output stage must still map NaN to
    // -6.0 and infinities to the limits, four at a time and one at a time.
    for (int32_t block : {1024, 3, 1}) {
        synth_reset();
        ASSERT_EQ(parse_text(Bpm + "i1:kantti,1,0,400,1,0\np1:c4\nt1:p1\n"), 0);
        std::vector<float>& samples = Song.instruments[1].samples;
        std::fill(samples.begin(), samples.begin() + 100, std::numeric_limits<float>::quiet_NaN());
        std::fill(samples.begin() + 100, samples.begin() + 200, std::numeric_limits<float>::infinity());
        std::fill(samples.begin() + 200, samples.begin() + 300, -std::numeric_limits<float>::infinity());
        std::vector<int16_t> out = render(300, block);
        for (int32_t i = 5; i < 95; ++i)
            ASSERT_EQ(out[size_t(i)], -32766) << "block " << block << " sample " << i;
        for (int32_t i = 105; i < 195; ++i)
            ASSERT_EQ(out[size_t(i)], 32766) << "block " << block << " sample " << i;
        for (int32_t i = 205; i < 295; ++i)
            ASSERT_EQ(out[size_t(i)], -32766) << "block " << block << " sample " << i;
    }
}

TEST_F(Sequencer, TracksAfterAGapNeverPlay)
{
    const std::string voices = Bpm + "i1:kantti,1,0,800,1,0\ni2:saha,1,0,800,1,0\ni4:sini,1,0,800,1,0\n"
                                     "p1:c4,e4\np2:g3\n";
    std::vector<int16_t> withGap = play(voices + "t1:p1,loop\nt2:p2,loop\nt4:p1,loop\n", 3 * Row);
    std::vector<int16_t> without = play(voices + "t1:p1,loop\nt2:p2,loop\n", 3 * Row);
    EXPECT_EQ(withGap, without);
    EXPECT_EQ(Synth.voices[4].entryIndex, -1);
}

TEST_F(Sequencer, SongWithoutTrackOneIsSilent)
{
    std::vector<int16_t> out = play(Bpm + "i2:kantti,1,0,800,1,0\np1:c4\nt2:p1,loop\n", 2 * Row);
    EXPECT_EQ(first_nonzero(out), -1);
    EXPECT_EQ(SongPosition.load(), 2 * Row);
    std::vector<int16_t> empty = play("", 100);
    EXPECT_EQ(first_nonzero(empty), -1);
}

TEST_F(Sequencer, ZeroOrNegativeCountWritesNothing)
{
    synth_reset();
    int16_t sample = 123;
    synth_render(&sample, 0);
    synth_render(&sample, -5);
    EXPECT_EQ(sample, 123);
    EXPECT_EQ(SongPosition.load(), 0);
}

// Random scores within the format's limits: every line kind, every command,
// several tempos, tracks that loop or end, notes restarting voices.
std::string random_score(std::mt19937& rng)
{
    auto pick = [&](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng); };
    static const char* waves[] = {"kantti", "sini", "saha", "kohina"};
    static const char* letters[] = {"c", "C", "d", "D", "e", "f", "F", "g", "G", "a", "A", "b"};
    // Appended piece by piece: GCC 12 warns falsely on "literal" + std::string.
    std::string text;
    auto add = [&](auto... pieces) { ((text += pieces), ...); };
    auto num = [](int32_t n) { return std::to_string(n); };
    add("bpm:", num(pick(90, 400)), "\n");
    const int32_t tracks = pick(1, 8);
    for (int32_t t = 1; t <= tracks; ++t) {
        const int32_t numbers[] = {pick(0, 40), pick(0, 60), pick(0, 3000), pick(1, 8000),
                                   pick(0, 3) == 0 ? pick(1, 5000) : 0, pick(-100, 100)};
        add("i", num(t), ":", waves[pick(0, 3)]);
        for (int32_t n : numbers)
            add(",", num(n));
        add("\n");
    }
    const int32_t patterns = pick(1, 6);
    for (int32_t p = 1; p <= patterns; ++p) {
        add("p", num(p), ":");
        const int32_t rows = pick(1, 12);
        for (int32_t r = 0; r < rows; ++r) {
            switch (pick(0, 12)) {
            case 0: add("sld,", num(pick(-60, 60)), ","); break;
            case 1: add("vol,", num(pick(0, 150)), ","); break;
            case 2: add("stop,"); break;
            case 3: add("echo0,"); break;
            case 4: add("echo1,"); break;
            case 5: case 6: add("00,"); break;
            default: add(letters[pick(0, 11)], num(pick(1, 6)), ","); break;
            }
        }
        add("\n");
    }
    for (int32_t t = 1; t <= tracks; ++t) {
        add("t", num(t), ":");
        const int32_t entries = pick(1, 6);
        for (int32_t e = 0; e < entries; ++e)
            add("p", num(pick(1, patterns)), ",");
        add(pick(0, 3) ? "loop\n" : "\n");
    }
    return text;
}

void render_two_threads(int16_t* out, int32_t count)
{
    synth_render_parallel(out, count);
}

TEST(FastSequencer, MatchesTheLiteralOneOnGeneratedScores)
{
    std::mt19937 rng(20240611);
    int32_t audible = 0;
    for (int32_t n = 0; n < 40; ++n) {
        const std::string text = random_score(rng);
        const int32_t samples = 44100 * 2;
        const int32_t block = std::uniform_int_distribution<int32_t>(1, 5000)(rng);
        synth_reset();
        ASSERT_EQ(parse_text(text), 0) << song_error() << "\n" << text;
        std::vector<int16_t> fast = render(samples, block);
        synth_reset();
        ASSERT_EQ(parse_text(text), 0);
        std::vector<int16_t> literal = render(samples, samples, synth_render_literal);
        ASSERT_EQ(fast, literal) << text;
        synth_reset();
        ASSERT_EQ(parse_text(text), 0);
        ASSERT_EQ(render(samples, block * 7, render_two_threads), literal) << text;
        audible += std::count_if(fast.begin(), fast.end(), [](int16_t v) { return v != 0; }) > 1000;
    }
    EXPECT_GT(audible, 30);   // the comparison is between sounding scores, not silences
}

}   // namespace

namespace {

TEST(FastSequencer, MatchesTheLiteralOneOnTheEmbeddedScore)
{
    // The whole pre-render: every section, the echo lines fed and decaying.
    const std::vector<int16_t>& fast = embedded_song_render();
    synth_reset();
    ASSERT_EQ(parse_text(EmbeddedSong), 0);
    EXPECT_EQ(render(int32_t(fast.size()), int32_t(fast.size()), synth_render_literal), fast);
}

}   // namespace

namespace {

// The whole demo song on two threads, bit for bit; a track left out of the
// mix is the score with that track silent; peaks are the tracks' own levels.
TEST(TwoThreadRender, EqualsTheSingleThreadedRenderAndLeavesTracksOut)
{
    const std::vector<int16_t>& single = embedded_song_render();
    const int32_t total = int32_t(single.size());
    synth_reset();
    ASSERT_EQ(parse_text(EmbeddedSong), 0);
    std::vector<int16_t> both(static_cast<size_t>(total));
    synth_render_parallel(both.data(), total);
    EXPECT_EQ(SongPosition.load(), total);
    EXPECT_EQ(both, single);

    // With progress: the same samples, reported window by window in order.
    synth_reset();
    ASSERT_EQ(parse_text(EmbeddedSong), 0);
    std::vector<int32_t> reports;
    std::vector<int16_t> watched(static_cast<size_t>(total));
    synth_render_progress(watched.data(), total, [](void* to, int32_t done) {
        static_cast<std::vector<int32_t>*>(to)->push_back(done);
    }, &reports);
    EXPECT_EQ(watched, single);
    ASSERT_EQ(reports.size(), size_t((total + PeakWindowSamples - 1) / PeakWindowSamples));
    for (size_t r = 0; r < reports.size(); ++r)
        EXPECT_EQ(reports[r], std::min(int32_t(r + 1) * PeakWindowSamples, total)) << r;

    // Track 3 left out, against the score whose track 3 plays only rests.
    const int32_t samples = 20 * 16 * 5292;
    const int32_t windows = (samples + PeakWindowSamples - 1) / PeakWindowSamples;
    synth_reset();
    ASSERT_EQ(parse_text(EmbeddedSong), 0);
    std::vector<int16_t> muted(static_cast<size_t>(samples));
    std::vector<float> peaks(size_t(windows) * MaxVoices, -1.0f);
    synth_render_parallel(muted.data(), samples, AllTracks & ~(1u << 3), peaks.data());
    std::string silenced = EmbeddedSong;
    const size_t t3 = silenced.find("\nt3:");
    silenced.replace(t3, silenced.find('\n', t3 + 1) - t3, "\nt3:p12,loop");
    synth_reset();
    ASSERT_EQ(parse_text(silenced), 0);
    EXPECT_EQ(render(samples, 1024), muted);
    EXPECT_NE(muted, std::vector<int16_t>(single.begin(), single.begin() + samples));

    // One thread, both mixes at once: the whole one and the heard one.
    synth_reset();
    ASSERT_EQ(parse_text(EmbeddedSong), 0);
    std::vector<int16_t> whole(static_cast<size_t>(samples)), heard(static_cast<size_t>(samples));
    synth_render_heard(whole.data(), heard.data(), samples, AllTracks & ~(1u << 3));
    EXPECT_EQ(whole, std::vector<int16_t>(single.begin(), single.begin() + samples));
    EXPECT_EQ(heard, muted);

    // Track 3 (the snare) is still measured; tracks past the ninth are silent.
    float loudest3 = 0, loudest1 = 0;
    for (int32_t w = 0; w < windows; ++w) {
        loudest1 = std::max(loudest1, peaks[size_t(w) * MaxVoices + 1]);
        loudest3 = std::max(loudest3, peaks[size_t(w) * MaxVoices + 3]);
        EXPECT_EQ(peaks[size_t(w) * MaxVoices + 10], 0.0f);
    }
    EXPECT_FLOAT_EQ(loudest1, 5.5f);   // the kick's inverted decay
    EXPECT_GT(loudest3, 0.5f);

    // Track 6 (the lead, with echo) alone stays inside the clamp, so each
    // window's loudest output sample is its peak scaled and truncated: every
    // window, those the render's blocks begin in the middle of too, has its
    // whole peak.
    synth_reset();
    ASSERT_EQ(parse_text(EmbeddedSong), 0);
    std::vector<int16_t> lead(static_cast<size_t>(samples));
    synth_render_parallel(lead.data(), samples, 1u << 6, peaks.data());
    for (int32_t w = 0; w < windows; ++w) {
        int32_t loudest = 0;
        for (int32_t i = w * PeakWindowSamples; i < std::min(samples, (w + 1) * PeakWindowSamples); ++i)
            loudest = std::max(loudest, std::abs(int32_t(lead[size_t(i)])));
        ASSERT_EQ(int32_t(double(peaks[size_t(w) * MaxVoices + 6]) * 5461.166666666666), loudest) << w;
    }
}

}   // namespace

#include "tests/show/show_fixture.h"

#include "render3d/r3d.h"
#include "show/show.h"

#include <cmath>
#include <numbers>

namespace {

using TickLimit = ShowTest;

TEST_F(TickLimit, FirstCallDrawsEvenAtTimeZero)
{
    show_frame(pixels, 0);
    EXPECT_EQ(LastTick, 0);
    EXPECT_EQ(Fake.clears, 1);
    EXPECT_EQ(Fake.target, pixels);
}

TEST_F(TickLimit, SecondCallInTheSameTickDrawsNothingTheNextTickDraws)
{
    show_frame(pixels, 100);   // tick 7
    ShowState after = Show;
    size_t batches = Fake.batches.size();
    show_frame(pixels, 106);   // still tick 7
    EXPECT_EQ(Fake.clears, 1);
    EXPECT_EQ(Fake.batches.size(), batches);
    EXPECT_EQ(SpinAngle, after.spinAngle);
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(ShowParams[k], after.params[k]) << "p" << k + 1;
    EXPECT_EQ(LastTick, 7);
    show_frame(pixels, 107);   // tick 8 draws
    EXPECT_EQ(Fake.clears, 2);
    EXPECT_EQ(LastTick, 8);
}

TEST_F(TickLimit, SkippedCallStillRecordsTimeAndBar)
{
    show_frame(pixels, 100);
    at_bar(20);
    show_frame(pixels, 106);
    EXPECT_EQ(ShowTimeMs, 106.0f);
    EXPECT_EQ(ShowBar, 20);
    EXPECT_EQ(Fake.clears, 1);
}

TEST(KeyframeRows, BoundaryBarsSelectTheirRows)
{
    EXPECT_EQ(show_keyframe_row(0), 0);
    EXPECT_EQ(show_keyframe_row(7), 0);
    EXPECT_EQ(show_keyframe_row(8), 1);
    EXPECT_EQ(show_keyframe_row(47), 11);
    EXPECT_EQ(show_keyframe_row(48), 12);
    EXPECT_EQ(show_keyframe_row(58), 15);
    EXPECT_EQ(show_keyframe_row(59), -1);
    EXPECT_EQ(show_keyframe_row(100), -1);
    EXPECT_EQ(show_keyframe_row(-1), 0);
}

TEST(KeyframeRows, EachRowRunsFromItsFirstBarToTheNextRowsFirstBar)
{
    for (int32_t row = 0; row < ShowKeyframeRows; ++row) {
        int32_t first = ShowKeyframes[row].firstBar;
        int32_t end = row + 1 < ShowKeyframeRows ? ShowKeyframes[row + 1].firstBar : ShowEndBar;
        EXPECT_LT(first, end) << "row " << row;
        EXPECT_EQ(show_keyframe_row(first), row);
        EXPECT_EQ(show_keyframe_row(end - 1), row);
    }
}

using Glide = ShowTest;

TEST_F(Glide, OneFrameFromZeroMovesThreePercentOfTheWay)
{
    show_frame(pixels, 0);
    EXPECT_NEAR(ShowParams[0], 0.1488, 1e-4);    // 127 * 0.001171875
    EXPECT_NEAR(ShowParams[7], 0.02695, 1e-5);   // 23 * 0.001171875
    EXPECT_EQ(ShowParams[2], 0.0f);               // target 0 stays 0
    EXPECT_NEAR(ShowParams[4], -0.00586, 1e-5);  // -5 * 0.001171875
    // The background is the grey p8: palette index trunc(3 * 85 * p8) = 6.
    EXPECT_EQ(Fake.clearColour[0], ShowParams[7]);
    EXPECT_EQ(int(3 * 85 * Fake.clearColour[0]), 6);
}

TEST_F(Glide, ASecondFrameClosesThreePercentOfTheRemainder)
{
    show_frame(pixels, 0);
    float first = ShowParams[0];
    show_frame(pixels, 14);
    EXPECT_NEAR(ShowParams[0], first * 1.97, 1e-5);
}

TEST_F(Glide, ALongStaySettlesOnTheRowTargets)
{
    for (int32_t frame = 0; frame < 1000; ++frame) {
        Fake.batches.clear();
        show_frame(pixels, frame * 14);
    }
    EXPECT_NEAR(ShowParams[0], 127 * 10 / 256.0, 1e-3);   // about 4.96
    EXPECT_NEAR(ShowParams[7], 23 * 10 / 256.0, 1e-3);    // about 0.898
    EXPECT_EQ(int(3 * 85 * Fake.clearColour[0]), 229);
}

TEST_F(Glide, FollowsTheRowOfTheCurrentBar)
{
    at_bar(56);   // row 13: p5 towards -74 * 10/256
    show_frame(pixels, 0);
    EXPECT_NEAR(ShowParams[4], -74 * 0.001171875, 1e-6);
    EXPECT_NEAR(ShowParams[5], -89 * 0.001171875, 1e-6);
}

using EndOfShow = ShowTest;

TEST_F(EndOfShow, Bar58GlidesAndDoesNotEnd)
{
    at_bar(58);
    show_frame(pixels, 0);
    EXPECT_EQ(ShowBar, 58);
    EXPECT_EQ(QuitRequested, 0);
    EXPECT_NEAR(ShowParams[4], 23 * 0.001171875, 1e-6);
}

TEST_F(EndOfShow, Bar59EndsButStillDrawsWithTheParametersHeld)
{
    ShowParams[0] = 1.5f;
    ShowParams[7] = 0.25f;
    at_bar(59);
    show_frame(pixels, 0);
    EXPECT_NE(QuitRequested, 0);
    EXPECT_EQ(ShowParams[0], 1.5f);
    EXPECT_EQ(ShowParams[7], 0.25f);
    EXPECT_EQ(Fake.clears, 1);
    EXPECT_EQ(count_batches(R3D_POLYGON), 12 * 63);
}

TEST_F(EndOfShow, LastSampleOfBar58DoesNotEnd)
{
    SongPosition.store(first_sample_of_bar(59) - 1, std::memory_order_relaxed);
    show_frame(pixels, 0);
    EXPECT_EQ(QuitRequested, 0);
}

using Camera = ShowTest;

TEST_F(Camera, DistanceTiltAndSpinFollowTheParameters)
{
    ShowParams[4] = -2.0f;
    ShowParams[5] = 1.0f;
    ShowParams[6] = 2.0f;
    show_frame(pixels, 0);
    float p5 = ShowParams[4], p6 = ShowParams[5], p7 = ShowParams[6];
    EXPECT_EQ(Fake.identities, 1);
    EXPECT_EQ(Fake.translation[2], p5);
    ASSERT_GE(Fake.rotations.size(), 2u);
    EXPECT_FLOAT_EQ(Fake.rotations[0].angle, -18 * p6);
    EXPECT_EQ(Fake.rotations[0].x, 1.0f);
    EXPECT_FLOAT_EQ(Fake.rotations[1].angle, 1.5f * p7);
    EXPECT_EQ(Fake.rotations[1].z, 1.0f);
}

TEST_F(Camera, SpinAccumulatesPerDrawnFrameOnly)
{
    ShowParams[6] = 2.0f;
    show_frame(pixels, 0);
    float once = SpinAngle;
    show_frame(pixels, 5);   // same tick: no spin
    EXPECT_EQ(SpinAngle, once);
    show_frame(pixels, 14);
    EXPECT_FLOAT_EQ(SpinAngle, once + 1.5f * ShowParams[6]);
}

using WaveformCross = ShowTest;

TEST_F(WaveformCross, DrawnUpToBar47AsTwoPerpendicularStrips)
{
    for (int32_t i = 0; i < LevelWindowSamples; ++i)
        AudioWave[i] = float(i) * 1e-4f;
    at_bar(47);
    show_frame(pixels, 0);
    ASSERT_EQ(count_batches(R3D_LINE_STRIP), 2);
    for (int strip = 0; strip < 2; ++strip) {
        const FakeBatch& b = Fake.batches[strip];
        EXPECT_EQ(b.mode, R3D_LINE_STRIP);
        EXPECT_FALSE(b.lighting);
        EXPECT_EQ(b.lineWidth, 2u);
        ASSERT_EQ(b.vertices.size(), 128u);
        EXPECT_EQ(b.vertices.front().x, -1.0f);
        EXPECT_EQ(b.vertices.back().x, 0.984375f);
        for (size_t v = 0; v < b.vertices.size(); ++v) {
            EXPECT_EQ(b.vertices[v].y, AudioWave[8 * v]);
            EXPECT_EQ(b.vertices[v].z, -0.3f);
        }
        // White at the ends, black in the middle.
        EXPECT_EQ(b.vertices.front().r, 1.0f);
        EXPECT_EQ(b.vertices[64].r, 0.0f);
        EXPECT_NEAR(b.vertices.back().r, 1 - std::sin(1016 * std::numbers::pi / 1024), 1e-6);
    }
    // tilt, spin, 90 after each strip, then the ribbons' 15 and 12 x 30.
    ASSERT_EQ(Fake.rotations.size(), 2u + 2u + 1u + 12u);
    EXPECT_EQ(Fake.rotations[2].angle, 90.0f);
    EXPECT_EQ(Fake.rotations[3].angle, 90.0f);
    EXPECT_EQ(Fake.rotations[4].angle, 15.0f);
}

TEST_F(WaveformCross, GoneFromBar48)
{
    at_bar(48);
    show_frame(pixels, 0);
    EXPECT_EQ(count_batches(R3D_LINE_STRIP), 0);
    ASSERT_EQ(Fake.rotations.size(), 2u + 1u + 12u);
    EXPECT_EQ(Fake.rotations[2].angle, 15.0f);
}

using Ribbons = ShowTest;

TEST_F(Ribbons, TwelveLitCopiesThirtyDegreesApart)
{
    show_frame(pixels, 0);
    EXPECT_EQ(count_batches(R3D_POLYGON), 12 * 63);
    EXPECT_EQ(Fake.light[0], 0.4f);
    EXPECT_EQ(Fake.light[2], 0.4f);
    size_t first30 = Fake.rotations.size() - 12;
    for (size_t r = first30; r < Fake.rotations.size(); ++r) {
        EXPECT_EQ(Fake.rotations[r].angle, 30.0f);
        EXPECT_EQ(Fake.rotations[r].z, 1.0f);
    }
    for (const FakeBatch& b : Fake.batches) {
        if (b.mode == R3D_POLYGON) {
            EXPECT_TRUE(b.lighting);
        }
    }
    EXPECT_EQ(RibbonCounter, 0);
}

TEST_F(Ribbons, MorphFollowsTheShowTime)
{
    // At ms 0 the morph is 0.5: point 16 lies halfway between the splines' point 2.
    show_frame(pixels, 0);
    EXPECT_FLOAT_EQ(RibbonPoints[16][0], 0.15f);
    // At ms 1571 (a quarter period) it is close to 1: SplineB's point 2.
    show_frame(pixels, 1571);
    EXPECT_NEAR(RibbonPoints[16][0], 0.2f, 1e-6);
}

} // namespace

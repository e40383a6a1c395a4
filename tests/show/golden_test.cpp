// Golden frames: the whole show played offline at 75 fps with the real music
// and the real pipeline, and chosen frames compared pixel for pixel with
// paletted PNGs that were inspected by eye when they were stored.
//
// To refresh them after a deliberate change to the picture:
//   VELOMIRA_UPDATE_GOLDEN=1 ctest -R ShowGolden --verbose
// then look at every file in tests/data/show before committing it.
#include "driver/demo.h"
#include "playback/playback.h"
#include "show/offline.h"
#include "tests/support/png_read.h"
#include "tools/common/output_file.h"
#include "tools/common/png_file.h"
#include "tools/velomira-capture/y4m.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Golden {
    int64_t frame;
    const char* name;
};

// 20 s: the waveform cross over the dark ribbons; 40 s and 70 s: the middle
// of the show, wobbling with the music; 95 s: after bar 48 (no cross, no
// wobble); 110 s: the dark ribbons coming at the camera; the last frame
// (bar 59): the ribbons behind the camera, the background faded to index 3.
constexpr Golden Goldens[] = {
    {1500, "cross-20s"}, {3000, "middle-40s"}, {5250, "middle-70s"},
    {7125, "late-95s"},  {8250, "close-110s"}, {8507, "last"},
};

bool write_png(const std::string& path, const std::vector<uint8_t>& pixels, std::string& error)
{
    OutputFile file;
    return file.open(path, error) &&
           png_write_paletted(file.file, pixels.data(), FrameWidth, FrameHeight, DemoPalette, error) &&
           file.commit(error);
}

void expect_matches_stored(const Golden& golden, const std::vector<uint8_t>& frame)
{
    std::string path = std::string(VELOMIRA_GOLDEN_DIR) + "/" + golden.name + ".png";
    std::string error;
    PalettedImage stored;
    ASSERT_TRUE(png_read_paletted(path, stored, error))
        << error << " (create it with VELOMIRA_UPDATE_GOLDEN=1 and inspect it)";
    ASSERT_EQ(stored.width, FrameWidth);
    ASSERT_EQ(stored.height, FrameHeight);
    ASSERT_EQ(stored.palette.size(), 256u);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(stored.palette[size_t(i)].b, DemoPalette[i].b) << "palette entry " << i;

    size_t differing = 0, first = 0;
    for (size_t i = 0; i < frame.size(); ++i)
        if (frame[i] != stored.pixels[i] && differing++ == 0)
            first = i;
    if (differing > 0) {
        std::string actual = std::string(VELOMIRA_ACTUAL_DIR) + "/" + golden.name + "-actual.png";
        write_png(actual, frame, error);
        ADD_FAILURE() << differing << " pixels differ from " << path << ", the first at (" << first % FrameWidth
                      << ", " << first / FrameWidth << "): " << int(frame[first]) << " instead of "
                      << int(stored.pixels[first]) << "; this run's frame is in " << actual;
    }
}

// One test for all the frames: the whole show is played once.
TEST(ShowGolden, InspectedFramesMatchPixelForPixel)
{
    std::string message;
    ASSERT_EQ(demo_load_song("", message), 0) << message;
    demo_prepare_show(nullptr);

    const char* update = std::getenv("VELOMIRA_UPDATE_GOLDEN");
    bool refresh = update && std::string(update) == "1";
    static uint8_t pixels[FramePixels];
    offline_start();
    int64_t last = offline_last_frame(OfflineMaxFps);
    size_t checked = 0;
    for (int64_t k = 0; k <= last; ++k) {
        bool ended = offline_play_frame(pixels, k, OfflineMaxFps);
        ASSERT_EQ(ended, k == last) << "frame " << k;
        for (const Golden& golden : Goldens) {
            if (golden.frame != k)
                continue;
            SCOPED_TRACE(std::string(golden.name) + ", frame " + std::to_string(k));
            std::vector<uint8_t> frame(pixels, pixels + FramePixels);
            if (refresh) {
                std::string path = std::string(VELOMIRA_GOLDEN_DIR) + "/" + golden.name + ".png";
                std::string error;
                std::filesystem::create_directories(VELOMIRA_GOLDEN_DIR);
                ASSERT_TRUE(write_png(path, frame, error)) << error;
                std::printf("refreshed %s: look at it before committing\n", path.c_str());
            } else {
                expect_matches_stored(golden, frame);
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, std::size(Goldens));
    if (refresh)
        GTEST_SKIP() << "golden frames refreshed, nothing compared";
}

// A preview that jumps to a time replays the show's state without drawing:
// the next frame drawn is the very frame of a whole run.
TEST(ShowGolden, ReplayedStateDrawsTheSameNextFrame)
{
    std::string message;
    ASSERT_EQ(demo_load_song("", message), 0) << message;
    demo_prepare_show(nullptr);
    static uint8_t pixels[FramePixels];
    for (const Golden& golden : Goldens) {
        SCOPED_TRACE(golden.name);
        offline_replay(golden.frame - 1, OfflineMaxFps);
        offline_play_frame(pixels, golden.frame, OfflineMaxFps);
        expect_matches_stored(golden, std::vector<uint8_t>(pixels, pixels + FramePixels));
    }
}

// A score's own two-row show at 140 bpm: a long first row settles the
// background at its grey (target 23: index 229), the second fades it to
// black, and the show ends as the script's end bar begins.
TEST(ShowGolden, ScoreWithItsOwnShowFollowsItsRowsAndTempo)
{
    const std::string path = ::testing::TempDir() + "velomira_own_show.txt";
    std::ofstream(path) << "bpm:140\ni1:saha,2,5,30,2300,0,2\np1:a2,00,a3,00\nt1:p1,loop\n"
                           "show:row,0, 0,0,0,0, -5,0,0,23\nshow:row,8, 0,0,0,0, -5,0,0,0\nshow:end,12\n";
    std::string message;
    ASSERT_EQ(demo_load_song(path, message), 0) << message;
    std::remove(path.c_str());
    demo_prepare_show(nullptr);

    static uint8_t pixels[FramePixels];
    offline_start();
    const int64_t last = offline_last_frame(OfflineMaxFps);
    int64_t frame = 0;
    for (; song_bar(offline_song_position(offline_frame_ms(frame + 1, OfflineMaxFps))) < 8; ++frame)
        offline_play_frame(pixels, frame, OfflineMaxFps);
    EXPECT_EQ(pixels[0], 229) << "frame " << frame << ", before bar 8";
    bool ended = false;
    for (; frame <= last; ++frame)
        ended = offline_play_frame(pixels, frame, OfflineMaxFps);
    EXPECT_TRUE(ended);
    EXPECT_LT(pixels[0], 10) << "the second row fades to black";
    // Bar 12 at 140 bpm begins at beat 48.3, 16 rows of 4725 samples a bar.
    EXPECT_NEAR(offline_frame_ms(last, OfflineMaxFps), 48.3 / (140.0 / 60.0) * 1000.0, 14.0);

    ASSERT_EQ(demo_load_song("", message), 0);   // the next test in this process sees the demo again
}

} // namespace

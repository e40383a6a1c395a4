// The capture tool's pieces and the platform layer it shares with
// velomira-song: frame ranges, colour conversion, PNG round trips (paletted
// and RGB), the bitmap font, files that appear only when complete, the
// signals, the writing thread and the storyboard's choice of stills.
#include "driver/demo.h"
#include "playback/playback.h"
#include "show/offline.h"
#include "show/script.h"
#include "show/timeline.h"
#include "tests/support/png_read.h"
#include "tests/support/scratch.h"
#include "tools/common/font.h"
#include "tools/common/output_file.h"
#include "tools/common/png_file.h"
#include "tools/common/signals.h"
#include "tools/velomira-capture/capture_range.h"
#include "tools/velomira-capture/frame_writer.h"
#include "tools/velomira-capture/sheet.h"
#include "tools/velomira-capture/y4m.h"

#include <gtest/gtest.h>

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

TEST(FrameRange, FirstToEndExcluded)
{
    CaptureRange range;
    std::string error;
    ASSERT_TRUE(capture_range_parse("10:20", 8507, range, error)) << error;
    EXPECT_EQ(range.first, 10);
    EXPECT_EQ(range.end, 20);
}

TEST(FrameRange, OpenEndAndOverlongEndRunToTheLastFrame)
{
    CaptureRange range;
    std::string error;
    ASSERT_TRUE(capture_range_parse("8000:", 8507, range, error)) << error;
    EXPECT_EQ(range.end, 8508);
    ASSERT_TRUE(capture_range_parse("8000:99999", 8507, range, error)) << error;
    EXPECT_EQ(range.end, 8508);
}

TEST(FrameRange, MalformedEmptyOrPastTheEndIsRefusedNamingTheOption)
{
    for (const char* text : {"", "5", "a:b", "5:x", ":9", "-1:5", "5:5", "9:3", "8508:8600", "1:2:3", " 1:2"}) {
        CaptureRange range;
        std::string error;
        EXPECT_FALSE(capture_range_parse(text, 8507, range, error)) << text;
        EXPECT_EQ(error.rfind(std::string("--frames ") + text + ":", 0), 0u) << error;
    }
}

TEST(FrameRange, AtPicksTheFrameOnScreen)
{
    CaptureRange range;
    std::string error;
    ASSERT_TRUE(capture_range_at(40.0, 75, 8507, range, error));
    EXPECT_EQ(range.first, 3000);
    EXPECT_EQ(range.end, 3001);
    ASSERT_TRUE(capture_range_at(0.013, 75, 8507, range, error));   // frame 1 starts at 14 ms
    EXPECT_EQ(range.first, 0);
    ASSERT_TRUE(capture_range_at(2.5, 1, 114, range, error));
    EXPECT_EQ(range.first, 2);
    ASSERT_TRUE(capture_range_at(113.427, 75, 8507, range, error));
    EXPECT_EQ(range.first, 8507);
}

TEST(FrameRange, AtOutsideTheShowIsRefused)
{
    CaptureRange range;
    std::string error;
    EXPECT_FALSE(capture_range_at(113.5, 75, 8507, range, error));
    EXPECT_NE(error.find("--at"), std::string::npos);
    EXPECT_NE(error.find("113.427"), std::string::npos);
    EXPECT_FALSE(capture_range_at(-1, 75, 8507, range, error));
}

class Conversion : public ::testing::Test {
protected:
    void SetUp() override
    {
        demo_build_palette();
        y4m_build_tables(tables, DemoPalette);
    }
    Y4mTables tables;
};

TEST_F(Conversion, BlackAndWhiteHaveNeutralChroma)
{
    EXPECT_EQ(tables.luma[0], 0);
    EXPECT_EQ(tables.luma[255], 255);
    EXPECT_FLOAT_EQ(tables.cb[0], 128.0f);
    EXPECT_FLOAT_EQ(tables.cr[255], 128.0f);
}

TEST_F(Conversion, BlueTintRaisesCbAndLowersCr)
{
    // Index 100 is (100, 100, 117): full-range BT.601.
    EXPECT_EQ(tables.luma[100], 102);               // 0.886 * 100 + 0.114 * 117 = 101.94
    EXPECT_NEAR(tables.cb[100], 136.5, 1e-3);       // 128 + 0.5 * 17
    EXPECT_NEAR(tables.cr[100], 126.61770, 1e-3);   // 128 - 0.081312 * 17
}

TEST_F(Conversion, ChromaAveragesEachTwoByTwoBlock)
{
    std::vector<uint8_t> pixels(FramePixels, 0);
    // Top-left block: one blue-tinted pixel (index 217: blue 255) and three black.
    pixels[1] = 217;
    // Second block: all white.
    for (int i : {2, 3, FrameWidth + 2, FrameWidth + 3})
        pixels[size_t(i)] = 255;
    std::vector<uint8_t> planes(FramePixels * 3 / 2);
    y4m_convert(tables, pixels.data(), planes.data());
    const uint8_t* cb = planes.data() + FramePixels;
    const uint8_t* cr = cb + FramePixels / 4;
    EXPECT_EQ(planes[0], 0);
    EXPECT_EQ(planes[1], tables.luma[217]);
    EXPECT_EQ(cb[0], uint8_t(std::lround((tables.cb[217] + 3 * 128.0) / 4)));
    EXPECT_EQ(cr[0], uint8_t(std::lround((tables.cr[217] + 3 * 128.0) / 4)));
    EXPECT_EQ(cb[1], 128);
    EXPECT_EQ(cb[2], 128);
}

// The conversion's fast paths (a lookup for one-colour blocks, rounding
// without lround) give the bytes of the plain formula.
TEST_F(Conversion, FastPathsMatchThePlainFormula)
{
    // Every colour as a flat block, then mixed blocks of a pseudo-random sweep.
    constexpr int32_t Width = 512, Height = 4;
    std::vector<uint8_t> pixels(Width * Height);
    for (int32_t x = 0; x < Width; ++x) {
        pixels[size_t(x)] = pixels[size_t(Width + x)] = uint8_t(x / 2);
        pixels[size_t(2 * Width + x)] = uint8_t(x * 37 + 11);
        pixels[size_t(3 * Width + x)] = uint8_t(x * 101 + 3);
    }
    std::vector<uint8_t> y(Width * Height), cb(Width * Height / 4), cr(Width * Height / 4);
    y4m_convert_planes(tables, pixels.data(), Width, Height, y.data(), Width, cb.data(), cr.data(), Width / 2);
    for (int32_t by = 0; by < Height / 2; ++by)
        for (int32_t bx = 0; bx < Width / 2; ++bx) {
            const uint8_t* p = pixels.data() + 2 * by * Width + 2 * bx;
            uint8_t a = p[0], b = p[1], c = p[Width], d = p[Width + 1];
            auto plain = [](const float* table, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
                return uint8_t(std::clamp(std::lround((table[a] + table[b] + table[c] + table[d]) * 0.25), 0l, 255l));
            };
            size_t at = size_t(by * Width / 2 + bx);
            ASSERT_EQ(cb[at], plain(tables.cb, a, b, c, d)) << "block " << bx << "," << by;
            ASSERT_EQ(cr[at], plain(tables.cr, a, b, c, d)) << "block " << bx << "," << by;
        }
    EXPECT_EQ(y[5], tables.luma[pixels[5]]);
}

TEST(Y4mHeader, DeclaresSizeRateAndFullRange420)
{
    EXPECT_EQ(y4m_header(30), "YUV4MPEG2 W640 H480 F30:1 Ip A1:1 C420jpeg XCOLORRANGE=FULL\n");
}

class Files : public ScratchDirTest {
protected:
    size_t entries() const { return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator())); }
};

TEST_F(Files, PalettedPngKeepsIndicesAndPalette)
{
    demo_build_palette();
    std::vector<uint8_t> pixels(FramePixels);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = uint8_t(i * 7 + i / 640);
    OutputFile file;
    std::string error;
    std::string path = (dir / "frame.png").string();
    ASSERT_TRUE(file.open(path, error)) << error;
    ASSERT_TRUE(png_write_paletted(file.file, pixels.data(), FrameWidth, FrameHeight, DemoPalette, error)) << error;
    ASSERT_TRUE(file.commit(error)) << error;
    PalettedImage image;
    ASSERT_TRUE(png_read_paletted(path, image, error)) << error;
    EXPECT_EQ(image.width, 640);
    EXPECT_EQ(image.height, 480);
    EXPECT_EQ(image.pixels, pixels);
    ASSERT_EQ(image.palette.size(), 256u);
    EXPECT_EQ(image.palette[85].b, 100);
    EXPECT_EQ(image.palette[255].r, 255);
}

TEST_F(Files, RgbPngKeepsItsBytesAndAFullDeviceIsOneReason)
{
    constexpr int32_t Width = 7, Height = 3;
    std::vector<uint8_t> rgb(Width * Height * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = uint8_t(i * 29 + 5);
    OutputFile file;
    std::string error;
    std::string path = (dir / "look.png").string();
    ASSERT_TRUE(file.open(path, error)) << error;
    ASSERT_TRUE(png_write_rgb(file.file, rgb.data(), Width, Height, error)) << error;
    ASSERT_TRUE(file.commit(error)) << error;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
    EXPECT_EQ(image.width, uint32_t(Width));
    EXPECT_EQ(image.height, uint32_t(Height));
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> back(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, back.data(), 0, nullptr));
    EXPECT_EQ(back, rgb);

    // libpng prints nothing itself: the stream's reason comes back instead.
    // The noise does not compress, so it outgrows the stream's buffer.
    std::vector<uint8_t> noise(128 * 128 * 3);
    std::mt19937 random(7);
    for (uint8_t& byte : noise)
        byte = uint8_t(random() >> 24);
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(png_write_rgb(full, noise.data(), 128, 128, error));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::fclose(full);
    EXPECT_EQ(error, "No space left on device");
}

TEST_F(Files, ReadingSomethingElseIsAnError)
{
    std::string path = (dir / "not.png").string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fputs("hello", f);
    std::fclose(f);
    PalettedImage image;
    std::string error;
    EXPECT_FALSE(png_read_paletted(path, image, error));
    EXPECT_NE(error.find("not.png"), std::string::npos);
    EXPECT_FALSE(png_read_paletted((dir / "missing.png").string(), image, error));
}

TEST_F(Files, OutputAppearsOnlyOnCommit)
{
    std::string path = (dir / "out.bin").string();
    std::string error;
    {
        OutputFile file;
        ASSERT_TRUE(file.open(path, error));
        std::fputs("partial", file.file);
        EXPECT_FALSE(fs::exists(path));
    }   // dropped without commit
    EXPECT_EQ(entries(), 0u);
    OutputFile file;
    ASSERT_TRUE(file.open(path, error));
    std::fputs("whole", file.file);
    ASSERT_TRUE(file.commit(error));
    EXPECT_EQ(fs::file_size(path), 5u);
    EXPECT_EQ(entries(), 1u);

    // Through a symbolic link: the target is replaced, the link stays.
    fs::create_symlink("out.bin", dir / "link.bin");
    OutputFile linked;
    ASSERT_TRUE(linked.open((dir / "link.bin").string(), error));
    std::fputs("linked", linked.file);
    ASSERT_TRUE(linked.commit(error));
    EXPECT_TRUE(fs::is_symlink(dir / "link.bin"));
    EXPECT_EQ(read_file(path), "linked");
    EXPECT_EQ(entries(), 2u);
}

TEST_F(Files, PlacedFilesAreKeptOrGiveBackWhatTheyReplaced)
{
    std::string old = (dir / "old.wav").string(), fresh = (dir / "new.wav").string(), error;
    std::ofstream(old) << "before";
    auto place = [&](OutputFile& file, const std::string& path) {
        ASSERT_TRUE(file.open(path, error)) << error;
        std::fputs("after", file.file);
        ASSERT_TRUE(file.place(error)) << error;
    };
    {
        OutputFile replacing, creating;
        place(replacing, old);
        place(creating, fresh);
        EXPECT_EQ(read_file(old), "after");   // in place while the run goes on
        EXPECT_EQ(read_file(fresh), "after");
    }   // the run failed: dropped without keep()
    EXPECT_EQ(read_file(old), "before");
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_EQ(entries(), 1u);

    OutputFile replacing;
    place(replacing, old);
    replacing.keep();
    replacing.discard();   // nothing left to take back
    EXPECT_EQ(read_file(old), "after");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(Files, FifoIsWrittenInPlaceNotReplaced)
{
    std::string fifo = (dir / "pipe").string(), error;
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = read_file(fifo); });
    OutputFile file;
    ASSERT_TRUE(file.open(fifo, error)) << error;
    EXPECT_TRUE(file.direct);
    std::fputs("streamed", file.file);
    ASSERT_TRUE(file.commit(error)) << error;
    reader.join();
    EXPECT_EQ(received, "streamed");
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(entries(), 1u);

    // Told ahead: in place for a FIFO or a descriptor name, never for a file
    // (existing or new) or a folder.
    std::ofstream(dir / "plain.txt") << "x";
    EXPECT_TRUE(output_in_place(fifo));
    EXPECT_TRUE(output_in_place("/dev/stdout"));
    EXPECT_FALSE(output_in_place((dir / "plain.txt").string()));
    EXPECT_FALSE(output_in_place((dir / "new.png").string()));
    EXPECT_FALSE(output_in_place(dir.string()));

    OutputFile device;
    ASSERT_TRUE(device.open("/dev/null", error)) << error;
    EXPECT_TRUE(device.direct);
    ASSERT_TRUE(device.commit(error)) << error;
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(Files, SameFileSeesThroughLinksAndNewNames)
{
    std::string a = (dir / "a.txt").string();
    std::ofstream(a) << "x";
    fs::create_hard_link(a, dir / "hard.txt");
    fs::create_symlink(a, dir / "soft.txt");
    EXPECT_TRUE(same_file(a, (dir / "hard.txt").string()));
    EXPECT_TRUE(same_file(a, (dir / "soft.txt").string()));
    EXPECT_TRUE(same_file((dir / "new.wav").string(), (dir / "." / "new.wav").string()));
    EXPECT_FALSE(same_file(a, (dir / "new.wav").string()));
    EXPECT_FALSE(same_file((dir / "x.wav").string(), (dir / "y.wav").string()));
    // A link to a file not written yet names the file it would create.
    fs::create_symlink("later.wav", dir / "dangling.mkv");
    EXPECT_TRUE(same_file((dir / "dangling.mkv").string(), (dir / "later.wav").string()));
    EXPECT_FALSE(same_file((dir / "dangling.mkv").string(), (dir / "x.wav").string()));
}

TEST_F(Files, UnwritablePlaceIsReportedWithItsPath)
{
    OutputFile file;
    std::string error;
    std::string path = (dir / "no-such-dir" / "out.y4m").string();
    EXPECT_FALSE(file.open(path, error));
    EXPECT_NE(error.find(path), std::string::npos);
    EXPECT_NE(error.find("No such file"), std::string::npos);
    EXPECT_FALSE(file.open("", error));
    EXPECT_NE(error.find("empty name"), std::string::npos) << error;
}

// The font's ink stays inside the width it gives for layout (look spaces its
// ruler numbers by that width), at every scale; a character it lacks draws
// nothing but still takes its place.
TEST(Font, InkStaysInsideTheWidthAndUnknownCharactersOnlyAdvance)
{
    for (int32_t scale : {1, 2}) {
        for (const std::string text : {"0123456789", "bar 16  30.93 s", "mix", "show", "fft"}) {
            int32_t inked = 0, right = -1, bottom = -1;
            font_draw(text, 10, 20, scale, [&](int32_t x, int32_t y) {
                ++inked;
                right = std::max(right, x);
                bottom = std::max(bottom, y);
            });
            EXPECT_GT(inked, 0) << text;
            EXPECT_LT(right, 10 + font_text_width(text, scale) - scale) << text;   // the last blank column
            EXPECT_LT(bottom, 20 + FontGlyphHeight * scale) << text;
        }
    }
    int32_t inked = 0, left = 1000;
    font_draw("?8", 0, 0, 1, [&](int32_t x, int32_t) {
        ++inked;
        left = std::min(left, x);
    });
    EXPECT_EQ(left, FontAdvance);   // the '8' in the second place
    int32_t eight = 0;
    font_draw("8", 0, 0, 1, [&](int32_t, int32_t) { ++eight; });
    EXPECT_EQ(inked, eight);
}

// The one flag records the signal that came last; the writers' set ignores
// SIGPIPE and SIGXFSZ, the player's set takes Ctrl+Z as a request. In a
// child process, which reports through its exit status.
TEST(SignalsDeathTest, TheFlagRecordsWhichSignalCame)
{
    EXPECT_EXIT(
        {
            signals_catch_for_writing();
            const bool quiet = signals_ending() == 0;
            raise(SIGPIPE);
            raise(SIGXFSZ);
            raise(SIGINT);
            const bool interrupted = signals_ending() == SIGINT;
            signals_catch_for_playing();
            raise(SIGTSTP);
            raise(SIGHUP);
            std::exit(quiet && interrupted && signals_stop_requested() ? signals_ending() : 99);
        },
        ::testing::ExitedWithCode(SIGHUP), "");
}

// The writer hands frames to its worker in order, and after a failed frame
// writes nothing more and says why.
TEST(FrameWriterThread, WritesInOrderAndStopsAtTheFirstFailure)
{
    std::vector<int64_t> written;
    std::vector<uint8_t> firstBytes;
    FrameWriter writer;
    frame_writer_start(writer, 16, [&](const uint8_t* pixels, int64_t frame, std::string& error) {
        if (frame == 7) {
            error = "disk full at 7";
            return false;
        }
        written.push_back(frame);
        firstBytes.push_back(pixels[0]);
        return true;
    });
    bool refused = false;
    for (int64_t frame = 0; frame < 40 && !refused; ++frame) {
        std::vector<uint8_t> pixels(16, uint8_t(frame));
        refused = !frame_writer_push(writer, pixels.data(), frame);
    }
    EXPECT_TRUE(refused);
    std::string error;
    EXPECT_FALSE(frame_writer_finish(writer, error));
    EXPECT_EQ(error, "disk full at 7");
    EXPECT_EQ(written, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(firstBytes, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6}));

    // An exception thrown by the work is a failed frame, not the end of the program.
    FrameWriter throwing;
    frame_writer_start(throwing, 4, [](const uint8_t*, int64_t, std::string&) -> bool { throw std::bad_alloc(); });
    uint8_t bytes[4] = {};
    frame_writer_push(throwing, bytes, 0);
    EXPECT_FALSE(frame_writer_finish(throwing, error));
    EXPECT_EQ(error, "out of memory");

    FrameWriter complete;
    int64_t count = 0;
    frame_writer_start(complete, 4, [&](const uint8_t*, int64_t, std::string&) { return ++count > 0; });
    uint8_t pixels[4] = {};
    for (int64_t frame = 0; frame < 100; ++frame)
        ASSERT_TRUE(frame_writer_push(complete, pixels, frame));
    EXPECT_TRUE(frame_writer_finish(complete, error));
    EXPECT_EQ(count, 100);
}

// One still in each keyframe row's section: two beats in, or a quarter
// into a section shorter than eight beats.
TEST(Storyboard, OneStillInEachKeyframeSection)
{
    std::vector<SheetStill> stills = sheet_stills(75);
    ASSERT_EQ(stills.size(), size_t(ShowKeyframeRows));
    auto position_of = [](int64_t frame) { return offline_song_position(offline_frame_ms(frame, 75)); };
    const int32_t beat = int32_t(SongSampleRate / BarClock.beatsPerSecond);
    for (int32_t row = 0; row < ShowKeyframeRows; ++row) {
        const int64_t frame = stills[size_t(row)].frame;
        const int32_t start = song_bar_start(ShowKeyframes[row].firstBar);
        const int32_t end = song_bar_start(row + 1 < ShowKeyframeRows ? ShowKeyframes[row + 1].firstBar : ShowEndBar);
        const int32_t at = start + std::min(2 * beat, (end - start) / 4);
        EXPECT_GE(position_of(frame), at) << "row " << row;
        EXPECT_LT(position_of(frame - 1), at) << "row " << row;
        EXPECT_EQ(song_bar(position_of(frame)), ShowKeyframes[row].firstBar) << "row " << row;
        EXPECT_EQ(stills[size_t(row)].ms, offline_frame_ms(frame, 75));
    }
    EXPECT_EQ(sheet_label(8, 15493), "bar 8  15.49 s");
    EXPECT_EQ(sheet_label(59, 113427), "bar 59  113.42 s");

    // A score's own script: its rows, not the built-in ones.
    ShowScript.rows = 2;
    ShowScript.keyframes[1].firstBar = 30;
    stills = sheet_stills(75);
    ShowScript = ShowScriptState{};
    ASSERT_EQ(stills.size(), 2u);
    EXPECT_EQ(song_bar(position_of(stills[1].frame)), 30);
}

} // namespace

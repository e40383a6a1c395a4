// Runs the real velomira-capture (and velomira-song render) as a user would
// and checks what they leave on disk: complete, consistent outputs, or
// nothing at all.
#include "driver/demo.h"
#include "playback/playback.h"
#include "show/offline.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tools/velomira-capture/png_frame.h"
#include "tools/velomira-capture/y4m.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

size_t count_lines(const std::string& text)
{
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

struct ToolRun {
    int status = -1;
    std::string err;
};

class CaptureEndToEnd : public ScratchDirTest {
protected:
    // Runs the tool in the test's directory with a shell prefix (limits) and
    // arguments; stderr is kept, stdout goes to the file "stdout".
    ToolRun capture(const std::string& arguments, const std::string& prefix = "") const
    {
        std::string script = "cd '" + dir.string() + "' && " + prefix + " timeout -s KILL 240 " + CAPTURE_BIN +
                             " " + arguments + " >stdout 2>stderr";
        ToolRun run;
        int raw = std::system(("sh -c \"" + script + "\"").c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.err = read_file(dir / "stderr");
        fs::remove(dir / "stderr");
        return run;
    }

    // Runs a shell script in the test's directory, its stderr kept; the
    // script and its outputs live beside the directory, not in it.
    ToolRun shell(const std::string& script) const
    {
        const std::string base = dir.string();
        std::ofstream(base + ".sh") << "cd '" << base << "' || exit 99\n" << script << "\n";
        ToolRun run;
        int raw = std::system(("sh '" + base + ".sh' >'" + base + ".out' 2>'" + base + ".err'").c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.err = read_file(base + ".err");
        for (const char* tail : {".sh", ".out", ".err"})
            fs::remove(base + tail);
        return run;
    }

    std::vector<std::string> listing() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir))
            if (entry.path().filename() != "stdout")
                names.push_back(fs::relative(entry.path(), dir).string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

constexpr size_t FrameBytes = 6 + FramePixels * 3 / 2;   // "FRAME\n" and the planes

TEST_F(CaptureEndToEnd, ShortRangeWritesConsistentVideoStillsAndMusic)
{
    ToolRun run = capture("--frames 0:20 --png stills --y4m show.y4m --wav show.wav");
    ASSERT_EQ(run.status, 0) << run.err;
    // Not a terminal: no progress bar, only the one-line summary.
    EXPECT_EQ(count_lines(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("20 frames"), std::string::npos) << run.err;

    std::vector<std::string> expected = {"show.wav", "show.y4m", "stills"};
    for (int k = 0; k < 20; ++k) {
        char name[40];
        std::snprintf(name, sizeof name, "stills/frame-%05d.png", k);
        expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listing(), expected);

    std::string video = read_file(dir / "show.y4m");
    std::string header = y4m_header(75);
    ASSERT_EQ(video.size(), header.size() + 20 * FrameBytes);
    EXPECT_EQ(video.compare(0, header.size(), header), 0);

    // Each video frame is its PNG converted: same picture in both outputs.
    demo_build_palette();
    Y4mTables tables;
    y4m_build_tables(tables, DemoPalette);
    std::vector<uint8_t> planes(FramePixels * 3 / 2);
    bool pictureChanges = false;
    PalettedImage previous;
    for (int k : {0, 1, 19}) {
        PalettedImage still;
        std::string error;
        char name[40];
        std::snprintf(name, sizeof name, "stills/frame-%05d.png", k);
        ASSERT_TRUE(png_read_paletted((dir / name).string(), still, error)) << error;
        ASSERT_EQ(still.palette.size(), 256u);
        EXPECT_EQ(still.palette[200].b, DemoPalette[200].b);
        y4m_convert(tables, still.pixels.data(), planes.data());
        size_t at = header.size() + size_t(k) * FrameBytes;
        EXPECT_EQ(video.compare(at, 6, "FRAME\n"), 0);
        EXPECT_EQ(video.compare(at + 6, planes.size(), reinterpret_cast<const char*>(planes.data()), planes.size()), 0)
            << "frame " << k;
        pictureChanges = pictureChanges || (!previous.pixels.empty() && previous.pixels != still.pixels);
        previous = still;
    }
    EXPECT_TRUE(pictureChanges);

    // The music of those 20 frames (to 267 ms): the demo's own render, both channels.
    SF_INFO info = {};
    SNDFILE* wav = sf_open((dir / "show.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(wav, nullptr);
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_EQ(info.channels, 2);
    ASSERT_EQ(info.frames, offline_song_position(offline_frame_ms(20, 75)));
    std::vector<int16_t> sound(size_t(info.frames) * 2);
    ASSERT_EQ(sf_readf_short(wav, sound.data(), info.frames), info.frames);
    sf_close(wav);
    synth_init(44100);
    ASSERT_GE(song_parse(EmbeddedSong), 0);
    demo_prerender(nullptr);
    for (sf_count_t i = 0; i < info.frames; ++i) {
        ASSERT_EQ(sound[size_t(2 * i)], SongBuffer[i]) << "sample " << i;
        ASSERT_EQ(sound[size_t(2 * i + 1)], SongBuffer[i]) << "sample " << i;
    }
}

TEST_F(CaptureEndToEnd, LaterRangesAndStillsReplayTheSameHistory)
{
    ASSERT_EQ(capture("-q --frames 0:16 --png all").status, 0);
    ASSERT_EQ(capture("-q --frames 12:16 --png tail").status, 0);
    ASSERT_EQ(capture("-q --fps 075 --at 0.2 --png still").status, 0);   // 200 ms: frame 15 (decimal 75)
    for (int k = 12; k < 16; ++k) {
        char name[24];
        std::snprintf(name, sizeof name, "frame-%05d.png", k);
        EXPECT_EQ(read_file(dir / "all" / name), read_file(dir / "tail" / name)) << name;
    }
    EXPECT_FALSE(fs::exists(dir / "tail" / "frame-00011.png"));
    ASSERT_TRUE(fs::exists(dir / "still" / "frame-00015.png"));
    EXPECT_EQ(read_file(dir / "all" / "frame-00015.png"), read_file(dir / "still" / "frame-00015.png"));
}

TEST_F(CaptureEndToEnd, VideoToStandardOutputForAPipe)
{
    ToolRun run = capture("--fps 25 --frames 0:3 --y4m -");
    ASSERT_EQ(run.status, 0) << run.err;
    std::string video = read_file(dir / "stdout");
    std::string header = y4m_header(25);
    EXPECT_EQ(video.size(), header.size() + 3 * FrameBytes);
    EXPECT_EQ(video.compare(0, header.size(), header), 0);
}

// Another score: its music is captured exactly as velomira-song renders it;
// a bad one is the checker's message and leaves nothing.
TEST_F(CaptureEndToEnd, SongOptionCapturesAnotherScore)
{
    const std::string score = "bpm:140\ni1:kantti,2,5,30,2300,0,0\np1:c3,00,g3,00\nt1:p1,loop\n";
    std::ofstream(dir / "small.txt") << score;
    ToolRun run = capture("--song small.txt --frames 0:150 --wav music.wav -q");
    ASSERT_EQ(run.status, 0) << run.err;
    SF_INFO info{};
    SNDFILE* file = sf_open((dir / "music.wav").string().c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    std::vector<int16_t> stereo(size_t(info.frames) * 2);
    sf_readf_short(file, stereo.data(), info.frames);
    sf_close(file);
    synth_init(44100);
    std::string text = score;
    ASSERT_EQ(song_parse(text.data()), 0);
    std::vector<int16_t> song(size_t(info.frames));
    synth_render(song.data(), int32_t(song.size()));
    ASSERT_GT(info.frames, 80000);
    for (size_t i = 0; i < song.size(); ++i) {
        ASSERT_EQ(stereo[2 * i], song[i]) << "sample " << i;
        ASSERT_EQ(stereo[2 * i + 1], song[i]) << "sample " << i;
    }

    fs::remove(dir / "music.wav");
    std::ofstream(dir / "bad.txt") << "bpm:125\ni1:saha,2,5,30,2300\np1:c3\nt1:p1,loop\n";
    run = capture("--song bad.txt --wav music.wav -q");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.substr(0, 30), "velomira-capture: bad.txt:2: e") << run.err;
    EXPECT_NE(run.err.find("    | i1:saha,2,5,30,2300\n"), std::string::npos) << run.err;
    EXPECT_EQ(listing().size(), 2u);   // the two scores, no music
}

TEST_F(CaptureEndToEnd, HelpShowsAnExample)
{
    ToolRun run = capture("--help");
    EXPECT_EQ(run.status, 0);
    std::string out = read_file(dir / "stdout");
    EXPECT_NE(out.find("Examples:"), std::string::npos);
    EXPECT_NE(out.find("velomira-capture --png stills --at 40"), std::string::npos);
}

struct UserError {
    const char* arguments;
    const char* mentions;
};

void PrintTo(const UserError& error, std::ostream* out) { *out << '"' << error.arguments << '"'; }

class CaptureUserErrors : public CaptureEndToEnd, public ::testing::WithParamInterface<UserError> {};

TEST_P(CaptureUserErrors, OneClearLineAndNothingWritten)
{
    fs::create_directory(dir / "existing");
    std::ofstream(dir / "afile") << "x";
    ToolRun run = capture(GetParam().arguments);
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(count_lines(run.err), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("velomira-capture: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(GetParam().mentions), std::string::npos) << run.err;
    EXPECT_EQ(listing(), (std::vector<std::string>{"afile", "existing"}));
}

INSTANTIATE_TEST_SUITE_P(
    Refused, CaptureUserErrors,
    ::testing::Values(UserError{"--y4m missing/show.y4m", "missing/show.y4m"},
                      UserError{"--wav existing/nested/a.wav", "existing/nested/a.wav"},
                      UserError{"--y4m show.y4m --wav missing/a.wav", "missing/a.wav"},
                      UserError{"--y4m show.y4m --png afile", "afile"},
                      UserError{"--png stills --y4m existing", "existing: it is a directory"},
                      UserError{"--png /proc/velomira", "/proc/velomira"},
                      UserError{"--frames 9:3 --png stills", "--frames 9:3"},
                      UserError{"--frames 10 --png stills", "--frames 10"},
                      UserError{"--frames 9000: --png stills", "8508 frames"},
                      UserError{"--fps 0 --png stills", "--fps"},
                      UserError{"--fps 76 --png stills", "--fps"},
                      UserError{"--fps ten", "--fps"},
                      UserError{"--at 200 --png stills", "--at"},
                      UserError{"--at -1 --png stills", "--at"},
                      UserError{"--at 5 --frames 0:3", "--at"},
                      UserError{"--at nan --png stills", "--at nan: not a number"},
                      UserError{"--fps 0x10 --png stills", "--fps 0x10"},
                      UserError{"--png ''", "--png: the name is empty"},
                      UserError{"--y4m x.y4m --wav ./x.y4m", "--wav ./x.y4m: the same file as --y4m x.y4m"},
                      UserError{"--y4m", "--y4m"}));

TEST_F(CaptureEndToEnd, FailureHalfwayTakesEverythingBack)
{
    // A 1 MB file size limit stops the video in its third frame, after the
    // music and the first stills were already in place: the files of an
    // earlier run come back, the new ones go.
    fs::create_directory(dir / "stills");
    std::ofstream(dir / "show.wav") << "older music";
    std::ofstream(dir / "stills" / "frame-00001.png") << "older still";
    ToolRun run = capture("--frames 0:10 --y4m show.y4m --wav show.wav --png stills", "ulimit -f 2000;");
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(count_lines(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("show.y4m"), std::string::npos) << run.err;
    EXPECT_EQ(listing(), (std::vector<std::string>{"show.wav", "stills", "stills/frame-00001.png"}));
    EXPECT_EQ(read_file(dir / "show.wav"), "older music");
    EXPECT_EQ(read_file(dir / "stills" / "frame-00001.png"), "older still");
}

// velomira-song render shares the output files: a device or FIFO is written
// in place, and a stop by a signal or a size limit leaves nothing behind.
TEST_F(CaptureEndToEnd, SongRenderOutputsInPlaceOrNotAtAll)
{
    const std::string song = SONG_BIN;
    ToolRun limited = shell("ulimit -f 100; " + song + " render - limited.wav");
    EXPECT_EQ(limited.status, 1);
    EXPECT_NE(limited.err.find("limited.wav"), std::string::npos) << limited.err;

    ToolRun stopped = shell(song + " render - stopped.wav --seconds 3600 & sleep 1; kill -TERM $!; wait $!");
    EXPECT_EQ(stopped.status, 1);
    EXPECT_NE(stopped.err.find("interrupted"), std::string::npos) << stopped.err;
    EXPECT_TRUE(listing().empty());

    // A WAV cannot seek back in a pipe: it still arrives whole, byte for byte.
    ASSERT_EQ(mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
    ToolRun piped = shell("cat fifo.wav > got.wav & " + song + " render - fifo.wav --seconds 1; s=$?; wait; " +
                          song + " render - file.wav --seconds 1 && exit $s");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(fs::is_fifo(dir / "fifo.wav"));
    EXPECT_EQ(read_file(dir / "got.wav").size(), 44u + 2 * 44100);
    EXPECT_EQ(read_file(dir / "got.wav"), read_file(dir / "file.wav"));
}

} // namespace

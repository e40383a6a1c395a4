// Runs the real velomira program the way a user would, without a display or
// sound card: SDL's dummy video driver or a real X window under Xvfb, and the
// disk audio driver, which writes what the callback delivers to a file.
#include "driver/demo.h"
#include "playback/playback.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool have(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// The disk audio driver at delay 0 pulls as fast as it can, even while the
// device is paused; a file size limit and a hard kill keep a run that fails
// to end from filling the disk.
const char* const Guard = "ulimit -f 500000; timeout -s KILL 240";

struct Outcome {
    int status = -1;
    std::string out, err;
};

class DemoEndToEnd : public ScratchDirTest {
protected:
    // Runs a shell script in the test's directory; the demo's stdout, stderr
    // and exit status are expected in the files out, err and status.
    Outcome run_script(const std::string& script)
    {
        std::ofstream(dir / "run.sh") << "set -u\ncd '" << dir.string() << "'\n" << script << "\n";
        std::system(("bash '" + (dir / "run.sh").string() + "'").c_str());
        Outcome run;
        std::string status = read_file(dir / "status");
        run.status = status.empty() ? -1 : std::atoi(status.c_str());
        run.out = read_file(dir / "out");
        run.err = read_file(dir / "err");
        return run;
    }

    // The program's output: a dot per bar, a newline, and the rate line.
    static void expect_demo_output(const Outcome& run)
    {
        EXPECT_EQ(run.status, 0) << run.err;
        std::regex shape(R"(\.{61}\n(inf|[0-9]+\.[0-9]{6}) FPS\n)");
        EXPECT_TRUE(std::regex_match(run.out, shape)) << "stdout was: " << run.out;
    }
};

// The song the demo pre-renders, rendered here in-process for comparison.
const std::vector<int16_t>& reference_song()
{
    static std::vector<int16_t> song = [] {
        synth_init(44100);
        std::string text = EmbeddedSong;
        song_parse(text.data());
        demo_prerender(nullptr);
        return std::vector<int16_t>(SongBuffer, SongBuffer + SongBufferSamples);
    }();
    return song;
}

void expect_audio_is_the_song(const fs::path& raw)
{
    std::string bytes = read_file(raw);
    ASSERT_EQ(bytes.size() % 4, 0u);
    std::vector<int16_t> left(bytes.size() / 4), right(bytes.size() / 4);
    for (size_t i = 0; i < left.size(); ++i) {
        std::memcpy(&left[i], bytes.data() + 4 * i, 2);
        std::memcpy(&right[i], bytes.data() + 4 * i + 2, 2);
    }
    EXPECT_EQ(left, right) << "the two channels differ";

    // The disk driver writes silence while the device is paused, that is for
    // as long as the song is being pre-rendered; the song follows. Line the
    // recording up on the song's first sound.
    const std::vector<int16_t>& song = reference_song();
    auto songStart = std::find_if(song.begin(), song.end(), [](int16_t s) { return s != 0; });
    auto heardStart = std::find_if(left.begin(), left.end(), [](int16_t s) { return s != 0; });
    ASSERT_NE(songStart, song.end());
    ASSERT_NE(heardStart, left.end()) << "the recording is silent";
    size_t leadIn = size_t(heardStart - left.begin()) - size_t(songStart - song.begin());
    // Closing the device may add a buffer of silence after the last one the
    // callback filled, and a device that pulls on past the end of the
    // SongBuffer gets silence: the recording is the song, then silence.
    auto heardEnd = std::find_if(left.rbegin(), left.rend(), [](int16_t s) { return s != 0; }).base();
    size_t heard = size_t(heardEnd - heardStart) + size_t(songStart - song.begin());
    // The show ends at bar 59 (sample 5,001,999): the song has been played
    // at least that far.
    EXPECT_GE(heard, 5001999u);
    ASSERT_LE(heard, song.size()) << "sound past the end of the song";
    size_t mismatches = 0, first = 0;
    for (size_t i = 0; i < heard; ++i) {
        if (left[leadIn + i] != song[i] && mismatches++ == 0)
            first = i;
    }
    EXPECT_EQ(mismatches, 0u) << "first differing sample " << first << " of " << heard;
}

TEST_F(DemoEndToEnd, HeadlessRunEndsByItselfAndPlaysTheSongOnBothChannels)
{
    Outcome run = run_script(std::string("(") + Guard +
                         " env SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=audio.raw"
                         " SDL_DISKAUDIODELAY=0 " VELOMIRA_BIN " -w > out 2> err; echo $? > status)");
    expect_demo_output(run);
    expect_audio_is_the_song(dir / "audio.raw");
}

TEST_F(DemoEndToEnd, MissingDisplayIsOneClearErrorAndStatusOne)
{
    Outcome run = run_script(std::string("(") + Guard +
                         " env SDL_VIDEODRIVER=x11 DISPLAY=:4711 SDL_AUDIODRIVER=dummy " VELOMIRA_BIN
                         " -w > out 2> err; echo $? > status)");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("velomira: cannot open a 640x480 8-bit screen"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, std::string(61, '.') + "\n");
}

// Another score: the same pre-render and dots, then that score is played;
// a score that does not parse is the checker's message before any window.
TEST_F(DemoEndToEnd, SongOptionPlaysAnotherScoreAndRefusesABadOne)
{
    const std::string score = "bpm:125\ni1:saha,2,5,30,2300,0,2\np1:a2,00,a3,00, c3,00,e3,00\nt1:p1,loop\n";
    std::ofstream(dir / "small.txt") << score;
    std::ofstream(dir / "bad.txt") << "bpm:125\ni1:saha,2,5,30,2300,0,2\nt1:p4,loop\n";
    // The demo quits only at the show's end: an interrupt after the
    // pre-render ends it, and the disk file holds what was played so far.
    Outcome run = run_script(std::string("(") + Guard +
                             " env SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=audio.raw"
                             " SDL_DISKAUDIODELAY=0 timeout -s INT 8 " VELOMIRA_BIN
                             " --song small.txt -w > out 2> err; echo $? > status)");
    EXPECT_EQ(run.out.substr(0, 62), std::string(61, '.') + "\n");
    synth_init(44100);
    std::string text = score;
    ASSERT_EQ(song_parse(text.data()), 0);
    std::vector<int16_t> song(44100 * 4);
    synth_render(song.data(), int32_t(song.size()));
    std::string bytes = read_file(dir / "audio.raw");
    std::vector<int16_t> left(bytes.size() / 4);
    for (size_t i = 0; i < left.size(); ++i)
        std::memcpy(&left[i], bytes.data() + 4 * i, 2);
    auto heard = std::find_if(left.begin(), left.end(), [](int16_t s) { return s != 0; });
    auto start = std::find_if(song.begin(), song.end(), [](int16_t s) { return s != 0; });
    ASSERT_GE(left.end() - heard, song.end() - start) << "less than four seconds were played";
    EXPECT_TRUE(std::equal(start, song.end(), heard));

    run = run_script(std::string("(") + Guard + " env SDL_VIDEODRIVER=x11 DISPLAY=:4711 SDL_AUDIODRIVER=dummy " +
                     VELOMIRA_BIN + " --song bad.txt -w > out 2> err; echo $? > status)");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "velomira: bad.txt:3: error: track 1 plays pattern 4, which no line defines\n"
                       "    | t1:p4,loop\n");
}

// A real X server without a window manager, shared by the window tests.
class DemoWindow : public DemoEndToEnd {
protected:
    static void SetUpTestSuite()
    {
        if (!have("Xvfb") || !have("xdotool"))
            return;
        for (int n = 90 + getpid() % 50; n < 190 && display.empty(); ++n) {
            std::string number = std::to_string(n);
            if (fs::exists(std::string("/tmp/.X").append(number).append("-lock")))
                continue;
            std::string name = std::string(":").append(number);
            std::string command = "Xvfb " + name + " -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & echo $!";
            std::FILE* pipe = popen(command.c_str(), "r");
            char pid[32] = {};
            if (!pipe || !std::fgets(pid, sizeof pid, pipe))
                continue;
            pclose(pipe);
            server = std::atoi(pid);
            std::string socket = std::string("/tmp/.X11-unix/X").append(number);
            for (int i = 0; i < 100 && !fs::exists(socket); ++i)
                usleep(50000);
            if (fs::exists(socket))
                display = name;
        }
    }
    static void TearDownTestSuite()
    {
        if (server > 0)
            std::system(("kill " + std::to_string(server)).c_str());
    }
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        if (display.empty())
            GTEST_SKIP() << "needs Xvfb and xdotool (scripts/install-deps.sh installs them)";
    }

    // Starts the demo in the background with real-time disk audio, waits for
    // its window, records the window's geometry, then runs action on it.
    Outcome run_in_window(const std::string& program, const std::string& args, const std::string& action)
    {
        return run_script("export DISPLAY=" + display + "\n(" + Guard +
                          " env SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null " + program + " " + args +
                          " > out 2> err; echo $? > status) &\n"
                          "id=\n"
                          "for i in $(seq 1200); do id=$(xdotool search --name '^Velomira$' 2>/dev/null | head -1);"
                          " [ -n \"$id\" ] && break; sleep 0.1; done\n"
                          "[ -n \"$id\" ] && xdotool getwindowgeometry \"$id\" > geometry\n"
                          "sleep 0.5\n" +
                          action + "\nwait\n");
    }

    static inline std::string display;
    static inline int server = 0;
};

TEST_F(DemoWindow, KeyPressEndsTheShow)
{
    Outcome run = run_in_window(VELOMIRA_BIN, "-w", "xdotool windowfocus --sync \"$id\"; xdotool key space");
    expect_demo_output(run);
    EXPECT_NE(read_file(dir / "geometry").find("Geometry: 640x480"), std::string::npos) << read_file(dir / "geometry");
}

TEST_F(DemoWindow, MouseButtonPressEndsTheShow)
{
    Outcome run = run_in_window(VELOMIRA_BIN, "-w", "xdotool mousemove --window \"$id\" 320 240 click 1");
    expect_demo_output(run);
}

TEST_F(DemoWindow, ProgramNameEndingInWOpensAWindow)
{
    Outcome run = run_in_window(VELOMIRAW_BIN, "", "xdotool windowfocus --sync \"$id\"; xdotool key Escape");
    expect_demo_output(run);
    EXPECT_NE(read_file(dir / "geometry").find("Geometry: 640x480"), std::string::npos) << read_file(dir / "geometry");
}

TEST_F(DemoWindow, RunsToItsEndInAWindowWhenAudioPullsFast)
{
    Outcome run = run_script("export DISPLAY=" + display + "\n(" + Guard +
                         " env SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=audio.raw SDL_DISKAUDIODELAY=0 " VELOMIRA_BIN
                         " -w > out 2> err; echo $? > status)");
    expect_demo_output(run);
    expect_audio_is_the_song(dir / "audio.raw");
}

} // namespace

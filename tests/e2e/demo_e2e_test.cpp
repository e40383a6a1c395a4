// Runs the real velomira program the way a user would, without a display or
// sound card: SDL's dummy video driver or a real X window under Xvfb, and the
// disk audio driver, which writes what the callback delivers to a file.
#include "driver/demo.h"
#include "playback/playback.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tests/support/embedded_render.h"
#include "tests/support/programs.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The disk audio driver at delay 0 pulls as fast as it can, even while the
// device is paused; a file size limit and a hard kill keep a run that fails
// to end from filling the disk.
const std::string Guard = "ulimit -f 500000; exec timeout -s KILL 240 env ";
const std::string DiskAudio = "SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=audio.raw SDL_DISKAUDIODELAY=";

class DemoEndToEnd : public ScratchDirTest {
protected:
    // velomira with an environment and arguments, run to its end.
    ScriptRun demo(const std::string& environment, const std::string& arguments) const
    {
        return run_script(dir, Guard + environment + " " VELOMIRA_BIN " " + arguments, "bash");
    }

    // The program's output: a dot per bar, a newline, and the rate line.
    static void expect_demo_output(const ScriptRun& run)
    {
        EXPECT_EQ(run.status, 0) << run.err;
        std::regex shape(R"(\.{61}\n(inf|[0-9]+\.[0-9]{6}) FPS\n)");
        EXPECT_TRUE(std::regex_match(run.out, shape)) << "stdout was: " << run.out;
    }
};

// The recording is song on both channels, from its first sound on, at least
// to the show's end.
void expect_audio_is(const fs::path& raw, const std::vector<int16_t>& song)
{
    const Recording sound = read_recording(raw);
    const std::vector<int16_t>& left = sound.left;
    EXPECT_EQ(left, sound.right) << "the two channels differ";

    // The disk driver writes silence while the device is paused, that is for
    // as long as the song is being pre-rendered; the song follows. Line the
    // recording up on the song's first sound.
    const size_t songStart = first_sound(song), heardStart = first_sound(left);
    ASSERT_LT(songStart, song.size());
    ASSERT_LT(heardStart, left.size()) << "the recording is silent";
    const size_t leadIn = heardStart - songStart;
    // Closing the device may add a buffer of silence after the last one the
    // callback filled, and a device that pulls on past the end of the
    // SongBuffer gets silence: the recording is the song, then silence.
    auto heardEnd = std::find_if(left.rbegin(), left.rend(), [](int16_t s) { return s != 0; }).base();
    size_t heard = size_t(heardEnd - left.begin()) - leadIn;
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

// The embedded song, and another score given with --song: the pre-render's
// dots, then the show runs to its end by itself while the device receives
// the song on both channels, exactly as the synthesizer renders it.
TEST_F(DemoEndToEnd, HeadlessRunsEndByThemselvesAndPlayTheSongOnBothChannels)
{
    const std::string headless = "SDL_VIDEODRIVER=dummy " + DiskAudio + "0";
    expect_demo_output(demo(headless, "-w"));
    expect_audio_is(dir / "audio.raw", embedded_song_render());

    const std::string score = "bpm:125\ni1:saha,2,5,30,2300,0,2\np1:a2,00,a3,00, c3,00,e3,00\nt1:p1,loop\n";
    std::ofstream(dir / "small.txt") << score;
    expect_demo_output(demo(headless, "--song small.txt -w"));
    std::vector<int16_t> song(embedded_song_render().size());   // at the same tempo, as long
    synth_reset();
    std::string text = score;
    ASSERT_EQ(song_parse(text.data()), 0);
    synth_render(song.data(), int32_t(song.size()));
    expect_audio_is(dir / "audio.raw", song);
}

// No display is one message after the pre-render; a score that is bad,
// missing or too big is the checker's message before any device is opened
// (the disk audio file never appears).
TEST_F(DemoEndToEnd, ErrorsAreOneClearMessageAndStatusOne)
{
    ScriptRun run = demo("SDL_VIDEODRIVER=x11 DISPLAY=:4711 SDL_AUDIODRIVER=dummy", "-w");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("velomira: cannot open a 640x480 8-bit screen"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, std::string(61, '.') + "\n");

    std::ofstream(dir / "bad.txt") << "bpm:125\ni1:saha,2,5,30,2300,0,2\nt1:p4,loop\n";
    const char* const refused[][2] = {
        {"bad.txt", "bad.txt:3: error: track 1 plays pattern 4, which no line defines\n    | t1:p4,loop\n"},
        {"missing.txt", "missing.txt: cannot open: No such file or directory\n"},
        {"/dev/zero", "/dev/zero: error: larger than 16 MB, the most a score may be\n"},
    };
    for (const auto& [score, message] : refused) {
        run = demo("SDL_VIDEODRIVER=x11 DISPLAY=:4711 SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=refused.raw",
                   std::string("--song ") + score + " -w");
        EXPECT_EQ(run.status, 1) << score;
        EXPECT_EQ(run.out, "") << score;
        EXPECT_EQ(run.err, std::string("velomira: ") + message);
    }
    EXPECT_FALSE(fs::exists(dir / "refused.raw"));
}

// A real X server without a window manager, shared by the window tests of
// one test process. The server picks a free display number itself and
// reports it (-displayfd) once it accepts connections, so servers started at
// the same moment by parallel tests never share a display.
class DemoWindow : public DemoEndToEnd {
protected:
    static void SetUpTestSuite()
    {
        if (!have("Xvfb") || !have("xdotool"))
            return;
        serverMissing = false;
        const std::string report = "/tmp/velomira-display-" + std::to_string(getpid());
        server = std::make_unique<Background>(
            "/", "exec Xvfb -displayfd 1 -noreset -nolisten tcp -screen 0 1024x768x24 >" + report + " 2>/dev/null");
        wait_until([&] { return read_file(report).find('\n') != std::string::npos; }, 30);
        const std::string number = read_file(report);
        fs::remove(report);
        if (number.find('\n') != std::string::npos && number.size() > 1)
            display = ":" + number.substr(0, number.find('\n'));
    }
    static void TearDownTestSuite()
    {
        server.reset();
        display.clear();
    }
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        if (serverMissing)
            GTEST_SKIP() << "needs Xvfb and xdotool (scripts/install-deps.sh installs them)";
        ASSERT_FALSE(display.empty()) << "Xvfb did not report a display within 30 s";
        ASSERT_TRUE(server->running()) << "the Xvfb server on " << display << " has died";
    }

    // Starts the demo in the background with real-time disk audio, finds its
    // mapped window by the demo's process id, records the window's geometry,
    // then runs action on it (with the window as $1) and gives the demo 5 s
    // to end. The search runs in one-second rounds until the window's
    // geometry could be read, the demo has exited or 90 s have passed: xdotool
    // exits on an X error when a window it looks at is destroyed under it. On
    // a loaded machine a press can come before the demo listens for it, so an
    // unanswered press is repeated, up to six in all. Whatever goes wrong, the
    // demo is killed at once rather than left to play its two-minute show.
    // What happened when is added to the demo's stderr.
    ScriptRun run_in_window(const std::string& program, const std::string& args, const std::string& action)
    {
        ScriptRun run = run_script(dir, "export DISPLAY=" + display + "\nrm -f geometry\n"
                                   "(ulimit -f 500000; exec env SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null " +
                                   program + " " + args + ") &\n"
                                   "demo=$!\n"
                                   "until [ -s geometry ] || [ $SECONDS -ge 90 ] || ! kill -0 $demo 2>/dev/null; do\n"
                                   "  id=$(timeout 1 xdotool search --sync --onlyvisible --pid $demo --name "
                                   "'^Velomira$' 2>/dev/null | head -n 1)\n"
                                   "  [ -n \"$id\" ] && { xdotool getwindowgeometry \"$id\" > geometry 2>/dev/null ||"
                                   " rm -f geometry; }\n"
                                   "done\n"
                                   "if [ ! -s geometry ]; then\n"
                                   "  kill -KILL $demo 2>/dev/null; wait $demo\n"
                                   "  echo \"$SECONDS s: no window of the demo named Velomira appeared\" >&2; exit 99\n"
                                   "fi\n"
                                   "echo \"$SECONDS s: window $id\" >&2\n"
                                   "for press in 1 2 3 4 5 6; do\n"
                                   "  timeout 10 bash -c '" + action + "' _ \"$id\" >&2\n"
                                   "  for i in $(seq 50); do kill -0 $demo 2>/dev/null || break; sleep 0.1; done\n"
                                   "  kill -0 $demo 2>/dev/null || break\n"
                                   "  echo \"$SECONDS s: the demo still runs after press $press\" >&2\n"
                                   "done\n"
                                   "kill -KILL $demo 2>/dev/null\n"
                                   "wait $demo\n", "bash");
        if (run.err.find("still runs") != std::string::npos)
            std::printf("%s", run.err.c_str());   // a press went unanswered: worth knowing when it passes
        return run;
    }

    static inline std::string display;
    static inline std::unique_ptr<Background> server;
    static inline bool serverMissing = true;
};

// A key or a mouse button ends the show in its 640x480 window; a program
// name ending in w opens the window without -w.
TEST_F(DemoWindow, KeyOrButtonPressEndsTheShow)
{
    const char* const presses[][3] = {
        {VELOMIRA_BIN, "-w", "xdotool windowfocus --sync $1; xdotool key space"},
        {VELOMIRA_BIN, "-w", "xdotool mousemove --window $1 320 240 click 1"},
        {VELOMIRAW_BIN, "", "xdotool windowfocus --sync $1; xdotool key Escape"},
    };
    for (const auto& [program, args, action] : presses) {
        SCOPED_TRACE(std::string(program) + " " + args + ": " + action);
        expect_demo_output(run_in_window(program, args, action));
        const std::string geometry = read_file(dir / "geometry");
        EXPECT_NE(geometry.find("Geometry: 640x480"), std::string::npos) << geometry;
    }
}

// Audio at about 18 times real time: the show ends in seconds. Without any
// delay the driver writes as fast as the disk takes it, and a main thread
// held up by a busy X server could let it pass the file size limit after the
// song before the show notices its end.
TEST_F(DemoWindow, RunsToItsEndInAWindowWhenAudioPullsFast)
{
    expect_demo_output(demo("DISPLAY=" + display + " " + DiskAudio + "5", "-w"));
    expect_audio_is(dir / "audio.raw", embedded_song_render());
}

} // namespace

// Runs the real velomira program the way a user would, without a display or
// sound card: SDL's dummy video driver or a real X window under Xvfb, and the
// disk audio driver, which writes what the callback delivers to a file.
#include "driver/demo.h"
#include "playback/playback.h"
#include "synth/score_file.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tests/support/embedded_render.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
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
    std::string trace;   // what a window test's script saw, when it was not plain sailing
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
        run.trace = read_file(dir / "trace");
        return run;
    }

    // The program's output: a dot per bar, a newline, and the rate line.
    static void expect_demo_output(const Outcome& run)
    {
        EXPECT_EQ(run.status, 0) << run.err << run.trace;
        std::regex shape(R"(\.{61}\n(inf|[0-9]+\.[0-9]{6}) FPS\n)");
        EXPECT_TRUE(std::regex_match(run.out, shape)) << "stdout was: " << run.out;
    }
};

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
    const std::vector<int16_t>& song = embedded_song_render();
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

    // Refused before any device is opened: the disk audio file never appears.
    const std::string refused = std::string("(") + Guard +
                                " env SDL_VIDEODRIVER=x11 DISPLAY=:4711 SDL_AUDIODRIVER=disk"
                                " SDL_DISKAUDIOFILE=refused.raw " VELOMIRA_BIN;
    run = run_script(refused + " --song bad.txt -w > out 2> err; echo $? > status)");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "velomira: bad.txt:3: error: track 1 plays pattern 4, which no line defines\n"
                       "    | t1:p4,loop\n");
    run = run_script(refused + " --song missing.txt -w > out 2> err; echo $? > status)");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "velomira: missing.txt: cannot open: No such file or directory\n");
    run = run_script(refused + " --song /dev/zero -w > out 2> err; echo $? > status)");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "velomira: /dev/zero: error: larger than 16 MB, the most a score may be\n");
    EXPECT_FALSE(fs::exists(dir / "refused.raw"));
}

// A real X server without a window manager, shared by the window tests of
// one test process. The server picks a free display number itself and
// reports it on a pipe (-displayfd), so servers started at the same moment
// by parallel tests never share a display; it dies with this process.
class DemoWindow : public DemoEndToEnd {
protected:
    static void SetUpTestSuite()
    {
        if (!have("Xvfb") || !have("xdotool"))
            return;
        serverMissing = false;
        int report[2];
        if (pipe(report) != 0)
            return;
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            close(report[0]);
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, 1);
            dup2(quiet, 2);
            const std::string fd = std::to_string(report[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0",
                   "1024x768x24", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(report[1]);
        if (pid < 0) {
            close(report[0]);
            return;
        }
        server = pid;
        // The number arrives once the server accepts connections.
        std::string number;
        pollfd ready{report[0], POLLIN, 0};
        char c;
        while (number.find('\n') == std::string::npos && poll(&ready, 1, 30000) == 1 &&
               read(report[0], &c, 1) == 1)
            number += c;
        close(report[0]);
        if (number.find('\n') != std::string::npos && number.size() > 1)
            display = ":" + number.substr(0, number.find('\n'));
    }
    static void TearDownTestSuite()
    {
        if (server <= 0)
            return;
        kill(server, SIGTERM);
        int status;
        for (int i = 0; i < 100 && waitpid(server, &status, WNOHANG) == 0; ++i)
            usleep(50000);
        if (waitpid(server, &status, WNOHANG) == 0) {
            kill(server, SIGKILL);
            waitpid(server, &status, 0);
        }
        server = 0;
        display.clear();
    }
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        if (serverMissing)
            GTEST_SKIP() << "needs Xvfb and xdotool (scripts/install-deps.sh installs them)";
        ASSERT_FALSE(display.empty()) << "Xvfb did not report a display within 30 s";
        ASSERT_EQ(waitpid(server, nullptr, WNOHANG), 0) << "the Xvfb server on " << display << " has died";
    }

    // Starts the demo in the background with real-time disk audio, finds its
    // mapped window by the demo's process id, records the window's geometry,
    // then runs action on it (with the window as $1) and gives the demo 5 s
    // to end. The search runs in one-second rounds until the window's
    // geometry could be read, the demo has exited or 90 s have passed: xdotool
    // exits on an X error when a window it looks at is destroyed under it. On
    // a loaded machine a press can come before the demo listens for it, so an
    // unanswered press is repeated, up to six in all. Whatever goes wrong, the
    // demo is killed at once rather than left to play its two-minute show; the
    // file trace says what happened when.
    Outcome run_in_window(const std::string& program, const std::string& args, const std::string& action)
    {
        Outcome run = run_script("export DISPLAY=" + display + "\n"
                                 "(ulimit -f 500000; exec env SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null " +
                                 program + " " + args + " > out 2> err) &\n"
                                 "demo=$!\n"
                                 "until [ -s geometry ] || [ $SECONDS -ge 90 ] || ! kill -0 $demo 2>/dev/null; do\n"
                                 "  id=$(timeout 1 xdotool search --sync --onlyvisible --pid $demo --name '^Velomira$' 2>/dev/null |"
                                 " head -n 1)\n"
                                 "  [ -n \"$id\" ] && { xdotool getwindowgeometry \"$id\" > geometry 2>/dev/null || rm -f geometry; }\n"
                                 "done\n"
                                 "if [ ! -s geometry ]; then\n"
                                 "  kill -KILL $demo 2>/dev/null; wait $demo\n"
                                 "  echo \"$SECONDS s: no window of the demo named Velomira appeared\" >> trace; exit\n"
                                 "fi\n"
                                 "echo \"$SECONDS s: window $id\" >> trace\n"
                                 "for press in 1 2 3 4 5 6; do\n"
                                 "  sleep 0.5\n"
                                 "  timeout 10 bash -c '" + action + "' _ \"$id\"\n"
                                 "  for i in $(seq 50); do kill -0 $demo 2>/dev/null || break; sleep 0.1; done\n"
                                 "  kill -0 $demo 2>/dev/null || break\n"
                                 "  echo \"$SECONDS s: the demo still runs after press $press\" >> trace\n"
                                 "done\n"
                                 "kill -KILL $demo 2>/dev/null\n"
                                 "wait $demo; echo $? > status\n");
        if (run.trace.find("still runs") != std::string::npos)
            std::printf("%s", run.trace.c_str());   // a press went unanswered: worth knowing when it passes
        return run;
    }

    static inline std::string display;
    static inline pid_t server = 0;
    static inline bool serverMissing = true;
};

TEST_F(DemoWindow, KeyPressEndsTheShow)
{
    Outcome run = run_in_window(VELOMIRA_BIN, "-w", "xdotool windowfocus --sync $1; xdotool key space");
    expect_demo_output(run);
    EXPECT_NE(read_file(dir / "geometry").find("Geometry: 640x480"), std::string::npos) << read_file(dir / "geometry");
}

TEST_F(DemoWindow, MouseButtonPressEndsTheShow)
{
    Outcome run = run_in_window(VELOMIRA_BIN, "-w", "xdotool mousemove --window $1 320 240 click 1");
    expect_demo_output(run);
}

TEST_F(DemoWindow, ProgramNameEndingInWOpensAWindow)
{
    Outcome run = run_in_window(VELOMIRAW_BIN, "", "xdotool windowfocus --sync $1; xdotool key Escape");
    expect_demo_output(run);
    EXPECT_NE(read_file(dir / "geometry").find("Geometry: 640x480"), std::string::npos) << read_file(dir / "geometry");
}

// Audio at about 18 times real time: the show ends in seconds. Without any
// delay the driver writes as fast as the disk takes it, and a main thread
// held up by a busy X server could let it pass the file size limit after the
// song before the show notices its end.
TEST_F(DemoWindow, RunsToItsEndInAWindowWhenAudioPullsFast)
{
    Outcome run = run_script("export DISPLAY=" + display + "\n(" + Guard +
                         " env SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=audio.raw SDL_DISKAUDIODELAY=5 " VELOMIRA_BIN
                         " -w > out 2> err; echo $? > status)");
    expect_demo_output(run);
    expect_audio_is_the_song(dir / "audio.raw");
}

} // namespace

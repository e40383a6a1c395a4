// Runs the real velomira-song play and look as a musician would: sound
// through SDL's disk audio driver (what the device receives lands in a file),
// the status line in a real terminal under tmux, and the picture.
#include "playback/playback.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tests/support/programs.h"

#include <gtest/gtest.h>
#include <png.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int32_t Row = 5292;

// The first sample of a bar as play counts bars: the show's, at the tempo
// of rows of rowLength samples.
ptrdiff_t bar_at(int32_t rowLength, int32_t bar)
{
    return song_bar_start_at(bar_clock_for(rowLength), bar);
}

// What play renders of a looping score without show lines at 125 bpm: up to
// the show's end at bar 59.
const int32_t SongLength = int32_t(bar_at(Row, 59));

// Two tracks; every row of track 1 sounds, so any gap or slip shows.
const std::string ScoreA = "bpm:125\ni1:saha,2,5,30,2300,0,2\ni2:kohina,2,4,1,2300,0,0\n"
                           "p1:a2,c3,e3,a3, c4,e4,a3,e3\np2:c6,00,00,00\nt1:p1,loop\nt2:p2,loop\n";
const std::string ScoreB = "bpm:125\ni1:kantti,2,5,30,2300,0,0\ni2:kohina,2,4,1,2300,0,0\n"
                           "p1:g2,b2,d3,g3, b3,d4,g3,d3\np2:c6,00,00,00\nt1:p1,loop\nt2:p2,loop\n";

std::vector<int16_t> render_score(const std::string& text, int32_t length)
{
    synth_reset();
    std::string copy = text;
    EXPECT_EQ(song_parse(copy.data()), 0) << song_error();
    std::vector<int16_t> out(static_cast<size_t>(length));
    synth_render(out.data(), length);
    return out;
}

// The part of a render from its first sound on, at or after sample from.
std::vector<int16_t> from_sound(const std::vector<int16_t>& samples, size_t from = 0)
{
    return std::vector<int16_t>(samples.begin() + ptrdiff_t(first_sound(samples, from)), samples.end());
}

// Saves a score as editors do: a new file renamed over the old one.
void save(const fs::path& path, const std::string& text)
{
    std::ofstream(path.string() + ".tmp") << text;
    fs::rename(path.string() + ".tmp", path);
}

class SongPlay : public ScratchDirTest {
protected:
    void TearDown() override
    {
        if (tmuxStarted)
            tmux("kill-server");
        ScratchDirTest::TearDown();
    }

    // A script that plays with disk audio into audio.raw, delay milliseconds
    // between device buffers (0: as fast as the disk takes them; none: in
    // real time). It execs play under a timeout, which passes signals on.
    static std::string play(const std::string& arguments, const char* delay = "0")
    {
        return std::string("ulimit -f 400000; exec timeout -s KILL 120 env SDL_AUDIODRIVER=disk "
                           "SDL_DISKAUDIOFILE=audio.raw ") +
               (delay ? std::string("SDL_DISKAUDIODELAY=") + delay + " " : "") + SONG_BIN " play " + arguments +
               " </dev/null";
    }
    // Whether the device has been given seconds of sound (the recording
    // grows in real time, or as fast as the delay lets it).
    bool played(double seconds) const
    {
        return wait_until([&] { return double(file_bytes(dir / "audio.raw")) >= seconds * 44100 * 4; });
    }

    // The left channel the device received, from its first sound on (the
    // device may start with a moment of silence); the right is the same.
    std::vector<int16_t> heard() const
    {
        const Recording sound = read_recording(dir / "audio.raw");
        EXPECT_EQ(sound.left, sound.right) << "the two channels differ";
        return from_sound(sound.left);
    }

    // A tmux server of the test's own, with one session of the same name,
    // width columns and 10 lines, running command.
    ScriptRun tmux(const std::string& arguments) const
    {
        return run_script(dir, "tmux -L " + session + " " + arguments);
    }
    bool tmux_start(int width, const std::string& command)
    {
        tmuxStarted = true;
        return tmux("new-session -d -x " + std::to_string(width) + " -y 10 -s " + session + " -c '" + dir.string() +
                    "' " + command).status == 0;
    }
    // An interactive shell with job control (dash keeps no terminal modes of
    // its own, so what a stopped job leaves is what the next command finds).
    bool shell_start()
    {
        return tmux_start(80, "\"env PS1='% ' SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null dash -i\"");
    }
    void keys(const std::string& names) const { tmux("send-keys -t " + session + " " + names); }
    void type(const std::string& line) const
    {
        tmux("send-keys -t " + session + " -l '" + line + "'");
        keys("Enter");
    }
    std::string pane() const { return tmux("capture-pane -p -t " + session).out; }
    bool wait_for(const std::string& text) const
    {
        return wait_until([&] { return pane().find(text) != std::string::npos; });
    }
    bool cursor_shown() const { return tmux("display -p -t " + session + " '#{cursor_flag}'").out == "1\n"; }

    const std::string session = "velomira-play-" + std::to_string(getpid());
    bool tmuxStarted = false;
};

// --from plays the render from the bar's first sample to the end and stops;
// --loop repeats bars A to B-1 exactly until a signal ends it with 128 + the
// signal's number; a muted track is absent.
TEST_F(SongPlay, DeviceReceivesExactlyTheRender)
{
    std::ofstream(dir / "a.txt") << ScoreA;
    const std::vector<int16_t> song = render_score(ScoreA, SongLength);

    ScriptRun run = run_script(dir, play("a.txt --from 010"));   // decimal: bar 10
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");   // no terminal: nothing but errors
    std::vector<int16_t> got = heard(), expected = from_sound(song, size_t(bar_at(Row, 10)));
    ASSERT_GE(got.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + ptrdiff_t(expected.size()), got.end(), [](int16_t s) { return s == 0; }))
        << "sound after the end of the song";

    // A loop never ends by itself: it plays on until the interrupt that
    // follows its fifth pass. Paced at one buffer per 2 ms, a run that is
    // slow to see the signal does not fill the disk.
    const std::vector<int16_t> loop(song.begin() + bar_at(Row, 2), song.begin() + bar_at(Row, 4));
    fs::remove(dir / "audio.raw");   // the wait is for the new one
    Background looping(dir, play("a.txt --loop 2:4", "2"));
    ASSERT_TRUE(played(5.0 * double(loop.size()) / 44100));
    looping.signal(SIGINT);
    EXPECT_EQ(looping.finish(), 128 + SIGINT);
    got = heard();
    const size_t lead = first_sound(loop);
    ASSERT_GT(got.size(), 3 * loop.size()) << "fewer than three passes";
    for (size_t i = 0; i + 3 * loop.size() / 2 < got.size(); ++i)   // leave the last, unfinished pass alone
        ASSERT_EQ(got[i], loop[(lead + i) % loop.size()]) << "sample " << i;

    EXPECT_EQ(run_script(dir, play("a.txt --mute 1")).status, 0);
    std::string hatsOnly = ScoreA;
    hatsOnly.replace(hatsOnly.find("t1:p1,loop"), 10, "t1:p3,loop\np3:00");
    got = heard();
    expected = from_sound(render_score(hatsOnly, SongLength));
    ASSERT_GE(got.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));
}

// Every number is decimal and in range, and options that contradict each
// other are refused, each with one line naming the option and what it may
// be, before any sound device is opened (there is none here: SDL refuses the
// driver, so only a run that gets that far fails with status 1). A score too
// big to render soon, and one the memory cannot hold, are one line too.
TEST_F(SongPlay, BadOptionsAreRefusedBeforeTheDevice)
{
    std::ofstream(dir / "a.txt") << ScoreA;
    const std::string longest = ":saha,2,5,30,16777178,0,2\n";   // 16777216 samples, as long as one may be
    std::ofstream(dir / "long.txt") << "bpm:125\ni1" + longest + "i2" + longest + "p1:a2\nt1:p1,loop\n";
    std::ofstream(dir / "one.txt") << "bpm:125\ni1" + longest + "p1:a2\nt1:p1,loop\n";
    struct Case {
        const char* arguments;
        int status;
        const char* message;   // the start of the one line on stderr
        const char* memory = "1000000";   // ulimit -v
    };
    const Case cases[] = {
        {"a.txt --from 0x10", 2,
         "velomira-song: --from 0x10: give a bar, a decimal number from 0 to the song's last bar"},
        {"a.txt --from=-1", 2, "velomira-song: --from -1: give a bar, a decimal number from 0"},
        {"a.txt --from 99", 2, "velomira-song: --from 99: past the end; the song's bars are 0 to 58"},
        {"a.txt --loop 4294967296:4294967297", 2,
         "velomira-song: --loop 4294967296:4294967297: past the end; the song's bars are 0 to 58, so give A:B "
         "with 0 <= A < B <= 59 (bar B is not played)"},
        {"a.txt --loop 0:99999999999", 2, "velomira-song: --loop 0:99999999999: past the end; the song's bars"},
        {"a.txt --loop 0x2:4", 2, "velomira-song: --loop 0x2:4: give bars A:B, decimal numbers with 0 <= A < B"},
        {"a.txt --loop 4:4", 2, "velomira-song: --loop 4:4: give bars A:B"},
        {"a.txt --solo 0", 2, "velomira-song: --solo 0: \"0\" is not a track number (1 to 29)"},
        {"a.txt --mute 1,,2", 2, "velomira-song: --mute 1,,2: \"\" is not a track number (1 to 29)"},
        {"a.txt --mute 1,+2,2x", 2, "velomira-song: --mute 1,+2,2x: \"2x\" is not a track number"},
        {"a.txt --solo 1,2 --mute 2", 2, "velomira-song: --solo and --mute both name track 2"},
        {"a.txt --from 10 --loop 2:4", 2, "velomira-song: --from 10 is outside --loop 2:4: start in bars 2 to 3"},
        {"- --watch", 2, "velomira-song: --watch needs a score file, not the embedded score"},
        {"long.txt", 1,
         "long.txt: error: the instruments' sounds are 33554432 samples long together, more than the 16777216 (380 s "
         "of sound) that render in reasonable time"},
        {"/dev/zero", 1, "/dev/zero: error: "},
        {"one.txt", 1, "velomira-song: out of memory", "80000"},
        {"a.txt --from 010 --loop 9:11", 1, "velomira-song: "},   // all good: on to the device
    };
    for (const Case& c : cases) {
        if (AddressSanitized && std::string(c.memory) != "1000000")
            continue;   // the out-of-memory case
        const std::string limit = AddressSanitized ? "" : std::string("ulimit -v ") + c.memory + "; ";
        const ScriptRun run =
            run_script(dir, limit + "SDL_AUDIODRIVER=none " SONG_BIN " play " + c.arguments + " </dev/null");
        const std::string& err = run.err;
        EXPECT_EQ(run.status, c.status) << c.arguments << ": " << err;
        EXPECT_EQ(err.rfind(c.message, 0), 0u) << c.arguments << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.arguments << ": " << err;
    }
}

// Saves during a real-time play of a score named through a symbolic link:
// the sound switches to each good save of the link's target at the same
// position without a gap; a bad save keeps it and names its line; and a save
// that never finishes reading (a FIFO nobody writes) does not hold back the
// end on Ctrl+C.
TEST_F(SongPlay, WatchSwitchesToEachGoodSaveWithoutAGap)
{
    fs::create_directory(dir / "real");
    std::ofstream(dir / "real" / "score.txt") << ScoreA;
    fs::create_symlink("real/score.txt", dir / "song.txt");
    const std::vector<int16_t> a = render_score(ScoreA, SongLength), b = render_score(ScoreB, SongLength);
    Background watching(dir, play("song.txt --watch 2>err", nullptr));
    // Each save comes when the device has been given so much sound.
    ASSERT_TRUE(played(2));
    save(dir / "real" / "score.txt", ScoreB);
    ASSERT_TRUE(played(3));
    {
        // Written in two halves with a pause: the first half alone (a track
        // playing pattern 0) is never taken.
        const size_t cut = ScoreB.find("t2:p") + 4;
        std::ofstream halves(dir / "real" / "score.txt");
        halves << ScoreB.substr(0, cut) << std::flush;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        halves << ScoreB.substr(cut);
    }
    // A save with a warning plays, and says its first warning.
    save(dir / "real" / "score.txt", ScoreB + "p7:cb5\n");
    EXPECT_TRUE(wait_until([&] {
        return read_file(dir / "err").find("song.txt:8: warning: \"cb5\" is not a note") != std::string::npos;
    })) << read_file(dir / "err");
    std::ofstream(dir / "real" / "score.txt") << "bpm:125\ni1:kantti,2,5,30,2300,0,0\nt1:p9,loop\n";   // as cp does
    EXPECT_TRUE(wait_until([&] {
        return read_file(dir / "err").find("song.txt:3: error: track 1 plays pattern 9") != std::string::npos;
    })) << read_file(dir / "err");
    ASSERT_EQ(mkfifo((dir / "real" / "fifo").c_str(), 0600), 0);
    fs::rename(dir / "real" / "fifo", dir / "real" / "score.txt");
    ASSERT_TRUE(played(4.5));
    watching.signal(SIGINT);
    EXPECT_EQ(watching.finish(), 128 + SIGINT);
    EXPECT_EQ(read_file(dir / "err").find("pattern 0"), std::string::npos) << read_file(dir / "err");

    const std::vector<int16_t> got = heard();
    ASSERT_GT(got.size(), size_t(44100 * 4));
    const size_t lead = first_sound(a);
    // The recording is A up to some sample, then B from that same position on.
    size_t switched = 0;
    while (switched < got.size() && got[switched] == a[lead + switched])
        ++switched;
    EXPECT_GT(switched, size_t(44100));
    EXPECT_LT(switched, size_t(44100 * 3));
    size_t mismatches = 0;
    for (size_t i = switched; i < got.size() && lead + i < b.size(); ++i)
        mismatches += got[i] != b[lead + i];
    EXPECT_EQ(mismatches, 0u) << "after the switch at " << switched;
}

// A loop is bars: after a save with another tempo, play loops the same bars
// at the new tempo (their samples are elsewhere and of another length).
TEST_F(SongPlay, WatchedLoopKeepsItsBarsAcrossATempoChange)
{
    std::string fast = ScoreA;
    fast.replace(fast.find("bpm:125"), 7, "bpm:150");   // rows of 4410 samples
    const std::vector<int16_t> song = render_score(fast, SongLength);
    const std::vector<int16_t> loop(song.begin() + bar_at(4410, 4), song.begin() + bar_at(4410, 6));
    std::ofstream(dir / "song.txt") << ScoreA;
    Background watching(dir, play("song.txt --watch --loop 4:6 2>err", "2"));
    ASSERT_TRUE(played(10));   // more than two passes at the old tempo first
    save(dir / "song.txt", fast);
    // Until a whole pass over the new bars, and two more after it, came.
    EXPECT_TRUE(wait_until([&] {
        const std::vector<int16_t> left = read_recording(dir / "audio.raw").left;
        const auto pass = std::search(left.begin(), left.end(), loop.begin(), loop.end());
        return left.end() - pass > ptrdiff_t(3 * loop.size());
    })) << read_file(dir / "err");
    watching.signal(SIGINT);
    EXPECT_EQ(watching.finish(), 128 + SIGINT) << read_file(dir / "err");

    const std::vector<int16_t> got = heard();
    // From the first whole pass over the new bars 4 and 5 on, nothing else.
    const size_t pass = size_t(std::search(got.begin(), got.end(), loop.begin(), loop.end()) - got.begin());
    ASSERT_LT(pass, got.size()) << "no pass over the bars at the new tempo";
    for (size_t i = pass; i + 4096 < got.size(); ++i)   // the last buffer may be cut short
        ASSERT_EQ(got[i], loop[(i - pass) % loop.size()]) << "sample " << i - pass << " after the first pass";
}

// Lines of a captured pane that hold something.
size_t filled_lines(const std::string& pane)
{
    size_t lines = 0;
    for (size_t at = 0; at < pane.size();) {
        const size_t end = std::min(pane.find('\n', at), pane.size());
        lines += pane.find_first_not_of(' ', at) < end;
        at = end + 1;
    }
    return lines;
}

// The status line in a real terminal: bar:row, time, meters, and the key
// hints when they fit: the line never wraps, and follows the terminal's
// width. Space pauses, the arrows move a bar; Ctrl+\ ends play with the
// terminal as it was and status 128 + SIGQUIT.
TEST_F(SongPlay, StatusLineAndKeysInATerminal)
{
    if (!have("tmux"))
        GTEST_SKIP() << "needs tmux";
    std::ofstream(dir / "a.txt") << ScoreA;
    ASSERT_TRUE(tmux_start(40, "\"trap : QUIT; env LC_ALL=C.UTF-8 SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null "
                               SONG_BIN " play a.txt --loop 5:9 2>err; echo exit=\\$?; sleep 30\""));
    EXPECT_TRUE(wait_for("bar 5:")) << pane();
    // A meter per track: the number, then a block or a dot; no room for the keys.
    std::string line = pane();
    EXPECT_EQ(filled_lines(line), 1u) << line;
    const size_t meter = line.find("  1");
    ASSERT_NE(meter, std::string::npos) << line;
    const std::string glyph = line.substr(meter + 3, 2);
    EXPECT_TRUE(glyph == "\xe2\x96" || glyph == "\xc2\xb7") << line;   // a block, or a dot for silence
    EXPECT_NE(line.find(" 2", meter), std::string::npos) << line;
    EXPECT_EQ(line.find("quit"), std::string::npos) << line;
    EXPECT_FALSE(cursor_shown());
    tmux("resize-window -t " + session + " -x 120");
    EXPECT_TRUE(wait_for("q quit")) << pane();

    keys("' '");
    EXPECT_TRUE(wait_for("|| bar 5:")) << pane();
    keys("Right");
    EXPECT_TRUE(wait_for("|| bar 6:00")) << pane();
    keys("Left Left");
    EXPECT_TRUE(wait_for("|| bar 4:00")) << pane();
    keys("-H 1c");   // Ctrl+backslash
    EXPECT_TRUE(wait_for("exit=131")) << pane();
    EXPECT_EQ(pane().find("bar "), std::string::npos) << pane();
    EXPECT_TRUE(cursor_shown());
}

// Job control in an interactive shell: Ctrl+Z gives the terminal back as it
// was before play stops, fg gives play its keys again, and a play started in
// the background runs to its end without touching the terminal.
TEST_F(SongPlay, StopsContinuesAndPlaysInTheBackground)
{
    if (!have("tmux") || !have("dash"))
        GTEST_SKIP() << "needs tmux and dash";
    std::ofstream(dir / "a.txt") << ScoreA;
    ASSERT_TRUE(shell_start());
    type(SONG_BIN " play a.txt --loop 5:9 2>err");
    EXPECT_TRUE(wait_for("bar 5:")) << pane();
    keys("C-z");
    type("stty -a > stty.txt; echo stopped-$((6 * 7))");
    EXPECT_TRUE(wait_for("stopped-42")) << pane();
    const std::string modes = read_file(dir / "stty.txt");
    EXPECT_TRUE(modes.find(" icanon") != std::string::npos && modes.find(" echo ") != std::string::npos) << modes;
    EXPECT_TRUE(cursor_shown());

    type("clear; fg");
    EXPECT_TRUE(wait_for("bar ")) << pane();
    keys("' '");
    EXPECT_TRUE(wait_for("|| bar ")) << pane();
    keys("q");
    type("echo played-$?");
    EXPECT_TRUE(wait_for("played-0")) << pane();

    type("clear; SDL_DISKAUDIOFILE=audio.raw SDL_DISKAUDIODELAY=0 " SONG_BIN
         " play a.txt --from 57 2>err & wait $!; echo behind-$?");
    EXPECT_TRUE(wait_for("behind-0")) << pane();
    EXPECT_EQ(pane().find("bar 57"), std::string::npos) << pane();   // no status line over the shell
    const std::vector<int16_t> song = render_score(ScoreA, SongLength);
    const std::vector<int16_t> expected = from_sound(song, size_t(bar_at(Row, 57)));
    const std::vector<int16_t> got = heard();
    ASSERT_GE(got.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));
}

// A terminal without escape sequences (TERM=dumb) gets the status line with
// nothing but carriage returns and spaces; a locale that is not UTF-8 gets
// ASCII meters and arrows.
TEST_F(SongPlay, PlainTerminalsGetPlainStatusLines)
{
    if (!have("tmux") || !have("dash"))
        GTEST_SKIP() << "needs tmux and dash";
    std::ofstream(dir / "a.txt") << ScoreA;
    ASSERT_TRUE(shell_start());
    auto output = [&](const std::string& environment, const std::string& done) {
        tmux("pipe-pane -t " + session + " 'cat > output.txt'");
        type(environment + " SDL_DISKAUDIODELAY=10 " SONG_BIN " play a.txt --from 57 2>err; echo " + done + "-$?");
        EXPECT_TRUE(wait_for(done + "-0")) << pane();
        tmux("pipe-pane -t " + session);
        return read_file(dir / "output.txt");
    };
    std::string text = output("TERM=dumb", "dumb");
    EXPECT_NE(text.find("\r>  bar 57:"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;

    text = output("LC_ALL=C", "ascii");
    EXPECT_NE(text.find("<-/-> bar"), std::string::npos) << text;
    EXPECT_TRUE(std::none_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; })) << text;
}

// look: the picture's size follows the tracks, and each lane shows its track.
TEST_F(SongPlay, LookDrawsALanePerTrack)
{
    std::ofstream(dir / "a.txt") << ScoreA;
    const ScriptRun run = run_script(dir, SONG_BIN " look a.txt a.png");
    ASSERT_EQ(run.status, 0) << run.err;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, (dir / "a.png").c_str()));
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    EXPECT_EQ(image.width, 1600u);
    // Ruler, show marks, mix lane, two lanes of 40 and the spectrogram.
    const uint32_t lanesTop = 20 + 14 + 6 + 72 + 6;
    EXPECT_EQ(image.height, lanesTop + 2 * 40 + 6 + 128 + 6);
    // Each track lane holds its own colour (blue, orange) along its middle.
    const uint8_t colours[2][3] = {{92, 170, 255}, {255, 140, 80}};
    for (uint32_t t = 0; t < 2; ++t) {
        const uint32_t y = lanesTop + t * 40 + 19;
        uint32_t lit = 0;
        for (uint32_t x = 44; x < 1588; ++x)
            lit += std::memcmp(&rgb[(size_t(y) * image.width + x) * 3], colours[t], 3) == 0;
        EXPECT_GT(lit, t == 0 ? 1000u : 200u) << "track " << t + 1;   // the hats are short ticks
    }
    EXPECT_EQ(run_script(dir, SONG_BIN " look missing.txt b.png").status, 1);
    EXPECT_FALSE(fs::exists(dir / "b.png"));
}

}   // namespace

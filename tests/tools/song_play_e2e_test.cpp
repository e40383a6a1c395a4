// Runs the real velomira-song play and look as a musician would: sound
// through SDL's disk audio driver (what the device receives lands in a file),
// the status line in a real terminal under tmux, and the picture.
#include "playback/playback.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>
#include <png.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int32_t Row = 5292;
constexpr int32_t Bar = 16 * Row;
constexpr int32_t SongLength = 5051 * 1024;   // what play renders

// Two tracks; every row of track 1 sounds, so any gap or slip shows.
const std::string ScoreA = "bpm:125\ni1:saha,2,5,30,2300,0,2\ni2:kohina,2,4,1,2300,0,0\n"
                           "p1:a2,c3,e3,a3, c4,e4,a3,e3\np2:c6,00,00,00\nt1:p1,loop\nt2:p2,loop\n";
const std::string ScoreB = "bpm:125\ni1:kantti,2,5,30,2300,0,0\ni2:kohina,2,4,1,2300,0,0\n"
                           "p1:g2,b2,d3,g3, b3,d4,g3,d3\np2:c6,00,00,00\nt1:p1,loop\nt2:p2,loop\n";

std::vector<int16_t> render_score(const std::string& text, int32_t length)
{
    Song = SongState{};
    Synth = SynthState{};
    synth_init(44100);
    std::string copy = text;
    EXPECT_EQ(song_parse(copy.data()), 0) << song_error();
    std::vector<int16_t> out(static_cast<size_t>(length));
    synth_render(out.data(), length);
    return out;
}

class SongPlay : public ScratchDirTest {
protected:
    // Runs a shell command in the test's directory; returns its exit status.
    int sh(const std::string& command) const
    {
        const std::string script = "cd '" + dir.string() + "' && " + command;
        std::ofstream(dir / "run.sh") << script << "\n";
        const int raw = std::system(("sh '" + (dir / "run.sh").string() + "'").c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    // Plays with disk audio, delay milliseconds between device buffers (0: as
    // fast as the disk takes them); returns the left channel the device
    // received, from its first sound on (the device may start with a moment
    // of silence).
    std::vector<int16_t> play(const std::string& arguments, const std::string& prefix, int& status,
                              const char* delay = "0") const
    {
        status = sh("ulimit -f 400000; " + prefix +
                    " env SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=audio.raw SDL_DISKAUDIODELAY=" + delay +
                    " " SONG_BIN
                    " play " + arguments + " </dev/null >out 2>err; echo $? > status");
        status = std::atoi(read_file(dir / "status").c_str());
        return heard();
    }

    std::vector<int16_t> heard() const
    {
        const std::string bytes = read_file(dir / "audio.raw");
        std::vector<int16_t> left(bytes.size() / 4), right(bytes.size() / 4);
        for (size_t i = 0; i < left.size(); ++i) {
            std::memcpy(&left[i], bytes.data() + 4 * i, 2);
            std::memcpy(&right[i], bytes.data() + 4 * i + 2, 2);
        }
        EXPECT_EQ(left, right) << "the two channels differ";
        auto first = std::find_if(left.begin(), left.end(), [](int16_t s) { return s != 0; });
        return std::vector<int16_t>(first, left.end());
    }

    // The part of expected from its first sound on.
    static std::vector<int16_t> from_sound(std::vector<int16_t>::const_iterator begin,
                                           std::vector<int16_t>::const_iterator end)
    {
        auto first = std::find_if(begin, end, [](int16_t s) { return s != 0; });
        return std::vector<int16_t>(first, end);
    }
};

// --from plays the render from the bar's first sample to the end and stops;
// --loop repeats bars A to B-1 exactly; a muted track is absent.
TEST_F(SongPlay, DeviceReceivesExactlyTheRender)
{
    std::ofstream(dir / "a.txt") << ScoreA;
    const std::vector<int16_t> song = render_score(ScoreA, SongLength);
    int status = -1;

    std::vector<int16_t> got = play("a.txt --from 3", "timeout -s KILL 60", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(dir / "out"), "");   // no terminal: nothing but errors
    std::vector<int16_t> expected = from_sound(song.begin() + 3 * Bar, song.end());
    ASSERT_GE(got.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + ptrdiff_t(expected.size()), got.end(), [](int16_t s) { return s == 0; }))
        << "sound after the end of the song";

    // A loop never ends by itself: paced at one buffer per 2 ms, three seconds
    // hold many passes without filling the disk (unpaced, they could pass the
    // 400 MB file-size limit on an idle machine).
    got = play("a.txt --loop 2:4", "timeout --preserve-status -s INT 3", status, "2");
    EXPECT_EQ(status, 0);
    const std::vector<int16_t> loop(song.begin() + 2 * Bar, song.begin() + 4 * Bar);
    const size_t lead = size_t(std::find_if(loop.begin(), loop.end(), [](int16_t s) { return s != 0; }) - loop.begin());
    ASSERT_GT(got.size(), 3 * loop.size()) << "fewer than three passes";
    for (size_t i = 0; i + 2 * Bar < got.size() - Bar; ++i)   // leave the last, unfinished pass alone
        ASSERT_EQ(got[i], loop[(lead + i) % loop.size()]) << "sample " << i;

    got = play("a.txt --mute 1", "timeout -s KILL 60", status);
    EXPECT_EQ(status, 0);
    std::string hatsOnly = ScoreA;
    hatsOnly.replace(hatsOnly.find("t1:p1,loop"), 10, "t1:p3,loop\np3:00");
    const std::vector<int16_t> hats = render_score(hatsOnly, SongLength);
    expected = from_sound(hats.begin(), hats.end());
    ASSERT_GE(got.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));
}

// Saves during a real-time play: the sound switches to the new score at the
// same position without a gap; a bad save keeps it and names its line.
TEST_F(SongPlay, WatchSwitchesToEachGoodSaveWithoutAGap)
{
    std::ofstream(dir / "song.txt") << ScoreA;
    sh("(env SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=audio.raw timeout --preserve-status -s INT 6 " SONG_BIN
       " play song.txt --watch </dev/null >out 2>err; echo $? > status) &");
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    {
        std::ofstream(dir / "song.tmp") << ScoreB;
        fs::rename(dir / "song.tmp", dir / "song.txt");   // as editors save
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::ofstream(dir / "song.txt") << "bpm:125\ni1:kantti,2,5,30,2300,0,0\nt1:p9,loop\n";
    for (int i = 0; i < 100 && !fs::exists(dir / "status"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(read_file(dir / "status"), "0\n");
    EXPECT_NE(read_file(dir / "err").find("song.txt:3: error: track 1 plays pattern 9"), std::string::npos)
        << read_file(dir / "err");

    const std::vector<int16_t> got = heard();
    const std::vector<int16_t> a = render_score(ScoreA, SongLength), b = render_score(ScoreB, SongLength);
    ASSERT_GT(got.size(), size_t(44100 * 4));
    const size_t lead = size_t(std::find_if(a.begin(), a.end(), [](int16_t s) { return s != 0; }) - a.begin());
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

bool have(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// The status line in a real terminal: bar:row, time, meters; space pauses,
// the arrows move a bar, q quits.
TEST_F(SongPlay, StatusLineAndKeysInATerminal)
{
    if (!have("tmux"))
        GTEST_SKIP() << "needs tmux";
    std::ofstream(dir / "a.txt") << ScoreA;
    const std::string session = "velomira-play-" + std::to_string(getpid());
    const std::string tmux = "tmux -L " + session + " ";
    auto pane = [&] {
        sh(tmux + "capture-pane -p -t " + session + " > pane.txt");
        return read_file(dir / "pane.txt");
    };
    auto wait_for = [&](const std::string& text) {
        for (int i = 0; i < 100; ++i) {
            if (pane().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    };
    ASSERT_EQ(sh(tmux + "new-session -d -x 120 -y 10 -s " + session +
                 " \"env SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null " SONG_BIN
                 " play a.txt --loop 5:9; echo exit=\\$?; sleep 30\""),
              0);
    EXPECT_TRUE(wait_for("bar 5:")) << pane();
    // A meter per track: the number, then a block or a dot.
    const std::string line = pane();
    const size_t meter = line.find("  1");
    ASSERT_NE(meter, std::string::npos) << line;
    const std::string glyph = line.substr(meter + 3, 2);
    EXPECT_TRUE(glyph == "\xe2\x96" || glyph == "\xc2\xb7") << line;   // a block, or a dot for silence
    EXPECT_NE(line.find(" 2", meter), std::string::npos) << line;
    EXPECT_NE(pane().find("q quit"), std::string::npos);
    sh(tmux + "send-keys -t " + session + " ' '");
    EXPECT_TRUE(wait_for("|| bar 5:")) << pane();
    sh(tmux + "send-keys -t " + session + " Right");
    EXPECT_TRUE(wait_for("|| bar 6:00")) << pane();
    sh(tmux + "send-keys -t " + session + " Left Left");
    EXPECT_TRUE(wait_for("|| bar 4:00")) << pane();
    sh(tmux + "send-keys -t " + session + " q");
    EXPECT_TRUE(wait_for("exit=0")) << pane();
    sh(tmux + "kill-server");
}

// look: the picture's size follows the tracks, and each lane shows its track.
TEST_F(SongPlay, LookDrawsALanePerTrack)
{
    std::ofstream(dir / "a.txt") << ScoreA;
    ASSERT_EQ(sh(SONG_BIN " look a.txt a.png 2>err"), 0) << read_file(dir / "err");
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
    EXPECT_EQ(sh(SONG_BIN " look missing.txt b.png 2>err"), 1);
    EXPECT_FALSE(fs::exists(dir / "b.png"));
}

}   // namespace

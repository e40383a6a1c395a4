// velomira --song FILE --watch, run for real under the dummy video driver
// with the disk audio driver: saves are taken up at the same sample with the
// new music, the new show is followed (its end holds the preview: silence),
// and a bad save keeps what plays and names its line.
#include "driver/demo.h"
#include "playback/playback.h"
#include "tests/support/programs.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string Music = "i1:saha,2,5,30,2300,0,2\ni2:kohina,2,4,1,2300,0,0\n"
                          "p2:c6,00,00,00\nt1:p1,loop\nt2:p2,loop\n";
const std::string First = "bpm:140\n" + Music + "p1:a2,c3,e3,a3, c4,e4,a3,e3\n";
// Other notes everywhere, and a show that ends at bar 30.
const std::string Second = "bpm:140\n" + Music + "p1:g2,b2,d3,g3, b3,d4,g3,d3\n" +
                           "show:row,0, 127,102,0,0, -5,15,0,23\nshow:end,30\n";

std::vector<int16_t> rendered(const fs::path& score)
{
    std::string message;
    EXPECT_EQ(demo_load_song(score.string(), message), 0) << message;
    const int32_t blocks = demo_prerender(nullptr);
    return std::vector<int16_t>(SongBuffer, SongBuffer + blocks * PrerenderBlockSamples);
}

class Preview : public ScratchDirTest {
protected:
    bool said(const std::string& text) const { return read_file(dir / "err").find(text) != std::string::npos; }
    void save(const std::string& text) const
    {
        std::ofstream(dir / "a.tmp") << text;
        fs::rename(dir / "a.tmp", dir / "a.txt");
    }
};

TEST_F(Preview, SavesPlayOnFromTheSameSampleWithTheirOwnShow)
{
    std::ofstream(dir / "a.txt") << First;
    std::ofstream(dir / "b.txt") << Second;
    const std::vector<int16_t> first = rendered(dir / "a.txt"), second = rendered(dir / "b.txt");
    // 4096 frames every 10 ms: the song plays about nine times as fast as
    // the clock, so the show (which follows the song's position) too.
    Background demo(dir, "ulimit -f 200000; exec env SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=disk "
                         "SDL_DISKAUDIOFILE=audio.raw SDL_DISKAUDIODELAY=10 " VELOMIRA_BIN
                         " --watch --song a.txt -w >out 2>err");
    const fs::path audio = dir / "audio.raw";
    ASSERT_TRUE(wait_until([&] { return file_bytes(audio) > 2'000'000; })) << read_file(dir / "err");
    save(Second);
    ASSERT_TRUE(wait_until([&] { return said("a.txt: playing the saved version from"); })) << read_file(dir / "err");
    save(Second + "t2:p9\n");
    ASSERT_TRUE(wait_until([&] { return said("a.txt:10: error: track 2 plays pattern 9, which no line defines\n"
                                             "    | t2:p9\n"); }))
        << read_file(dir / "err");
    // The new show ends at bar 30: the preview holds there, and the driver
    // records silence from then on.
    const size_t bar30 = size_t(song_bar_start_at(bar_clock_for(4725), 30));
    ASSERT_TRUE(wait_until([&] { return file_bytes(audio) > 4 * (bar30 + 441000); })) << read_file(dir / "err");
    demo.signal(SIGTERM);
    EXPECT_EQ(demo.finish(), 128 + SIGTERM);
    EXPECT_EQ(read_file(dir / "out").substr(0, 62), std::string(61, '.') + "\n");

    // The left channel, lined up on the song's first sound.
    std::vector<int16_t> heard = read_recording(audio).left;
    heard.erase(heard.begin(), heard.begin() + ptrdiff_t(first_sound(heard) - first_sound(first)));

    // The first version up to a sample, the second from that very sample on
    // to where its show ends; the bad save changed nothing.
    size_t change = 0;
    while (change < heard.size() && heard[change] == first[change])
        ++change;
    EXPECT_GT(change, 441000u) << "the first version played for less than ten seconds";
    ASSERT_LT(change, bar30);
    size_t differing = 0;
    for (size_t i = change; i < bar30; ++i)
        differing += heard[i] != second[i];
    EXPECT_EQ(differing, 0u) << "of " << bar30 - change << " samples after the save at " << change;
    EXPECT_EQ(first_sound(heard, bar30 + 2 * 4096), heard.size()) << "sound after the new show's end";
}

TEST_F(Preview, WatchNeedsAScore)
{
    const ScriptRun run = run_script(dir, VELOMIRA_BIN " --watch -w");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "velomira: --watch needs --song FILE, the score to watch\n");
}

}   // namespace

// velomira --song FILE --watch, run for real under the dummy video driver
// with the disk audio driver: saves are taken up at the same sample with the
// new music, the new show is followed (its end holds the preview: silence),
// and a bad save keeps what plays and names its line.
#include "driver/demo.h"
#include "playback/playback.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <signal.h>

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
    // A run that a failed assertion left behind is stopped before its
    // directory goes.
    void TearDown() override
    {
        const pid_t pid = std::atoi(read_file(dir / "pid").c_str());
        if (pid > 0 && !fs::exists(dir / "status"))
            kill(pid, SIGKILL);
        wait_until([&] { return pid <= 0 || fs::exists(dir / "status"); });
        ScratchDirTest::TearDown();
    }
    // Waits up to a minute for what a program writes; false when it never came.
    template <typename Ready>
    bool wait_until(Ready ready) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!ready()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    uintmax_t audio_bytes() const
    {
        std::error_code ignored;
        return fs::exists(dir / "audio.raw") ? fs::file_size(dir / "audio.raw", ignored) : 0;
    }
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
    const std::string run = "cd '" + dir.string() +
                            "' && (ulimit -f 200000; env SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=disk "
                            "SDL_DISKAUDIOFILE=audio.raw SDL_DISKAUDIODELAY=10 timeout -s KILL 120 " VELOMIRA_BIN
                            " --watch --song a.txt -w >out 2>err & echo $! > pid; wait $!; echo $? > status) &";
    ASSERT_EQ(std::system(run.c_str()), 0);
    ASSERT_TRUE(wait_until([&] { return audio_bytes() > 2'000'000; })) << read_file(dir / "err");
    save(Second);
    ASSERT_TRUE(wait_until([&] { return said("a.txt: playing the saved version from"); })) << read_file(dir / "err");
    save(Second + "t2:p9\n");
    ASSERT_TRUE(wait_until([&] { return said("a.txt:10: error: track 2 plays pattern 9, which no line defines\n"
                                             "    | t2:p9\n"); }))
        << read_file(dir / "err");
    // The new show ends at bar 30: the preview holds there, and the driver
    // records silence from then on.
    const size_t bar30 = size_t(song_bar_start_at(bar_clock_for(4725), 30));
    ASSERT_TRUE(wait_until([&] { return audio_bytes() > 4 * (bar30 + 441000); })) << read_file(dir / "err");
    const pid_t pid = std::atoi(read_file(dir / "pid").c_str());
    ASSERT_GT(pid, 0);
    kill(pid, SIGTERM);
    ASSERT_TRUE(wait_until([&] { return fs::exists(dir / "status"); }));
    EXPECT_EQ(read_file(dir / "out").substr(0, 62), std::string(61, '.') + "\n");

    // The left channel, lined up on the song's first sound.
    const std::string bytes = read_file(dir / "audio.raw");
    std::vector<int16_t> heard(bytes.size() / 4);
    for (size_t i = 0; i < heard.size(); ++i)
        std::memcpy(&heard[i], bytes.data() + 4 * i, 2);
    const auto nonzero = [](int16_t s) { return s != 0; };
    const size_t lead = size_t(std::find_if(heard.begin(), heard.end(), nonzero) - heard.begin()) -
                        size_t(std::find_if(first.begin(), first.end(), nonzero) - first.begin());
    heard.erase(heard.begin(), heard.begin() + ptrdiff_t(lead));

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
    EXPECT_TRUE(std::all_of(heard.begin() + ptrdiff_t(bar30 + 2 * 4096), heard.end(),
                            [](int16_t s) { return s == 0; }))
        << "sound after the new show's end";
}

TEST_F(Preview, WatchNeedsAScore)
{
    const std::string run = "cd '" + dir.string() + "' && " VELOMIRA_BIN " --watch -w >out 2>err; echo $? > status";
    ASSERT_EQ(std::system(run.c_str()), 0);
    EXPECT_EQ(read_file(dir / "status"), "1\n");
    EXPECT_EQ(read_file(dir / "err"), "velomira: --watch needs --song FILE, the score to watch\n");
}

}   // namespace

// The demo's command-line rule, palette and pre-render loop.
#include "driver/demo.h"
#include "playback/playback.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

uint32_t flags_for(std::vector<const char*> argv)
{
    return demo_video_flags(int(argv.size()), argv.data());
}

constexpr uint32_t Fullscreen = DemoFullscreen | DemoDoubleBuffer;
constexpr uint32_t Windowed = DemoDoubleBuffer;

TEST(CommandLine, FullScreenUnlessFirstArgumentIsExactlyDashW)
{
    EXPECT_EQ(flags_for({"velomira"}), Fullscreen);
    EXPECT_EQ(flags_for({"velomira", "-w"}), Windowed);
    EXPECT_EQ(flags_for({"velomira", "-W"}), Fullscreen);
    EXPECT_EQ(flags_for({"velomira", "-wx"}), Fullscreen);
    EXPECT_EQ(flags_for({"velomira", "w"}), Fullscreen);
    EXPECT_EQ(flags_for({"velomira", "x", "-w"}), Fullscreen);
    EXPECT_EQ(flags_for({"velomira", "-w", "extra"}), Windowed);
}

TEST(CommandLine, ProgramNameEndingInWInvertsTheChoice)
{
    EXPECT_EQ(flags_for({"velomiraw"}), Windowed);
    EXPECT_EQ(flags_for({"/usr/games/velomiraw", "-w"}), Fullscreen);
    EXPECT_EQ(flags_for({"./velomiraW"}), Fullscreen);   // case-sensitive
    EXPECT_EQ(flags_for({"w/velomira"}), Fullscreen);    // only the last character counts
    EXPECT_EQ(flags_for({""}), Fullscreen);
    EXPECT_EQ(flags_for({"", "-w"}), Windowed);
}

TEST(CommandLine, MissingProgramNameIsTreatedAsEmpty)
{
    const char* argv[] = {nullptr};
    EXPECT_EQ(demo_video_flags(0, argv), Fullscreen);
}

// --song FILE is taken out wherever it stands; the rest reads as before.
// Every form means one thing or is refused.
TEST(CommandLine, SongOptionIsTakenOutAndTheRestReadsAsBefore)
{
    auto take = [](std::vector<const char*> args, std::string& file) {
        std::vector<char*> argv;
        for (const char* a : args)
            argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        int argc = int(args.size());
        std::string message;
        if (demo_take_song_option(argc, argv.data(), file, message) < 0)
            file = "(refused) " + message;
        EXPECT_EQ(argv[size_t(argc)], nullptr);
        return demo_video_flags(argc, argv.data());
    };
    std::string file;
    EXPECT_EQ(take({"velomira", "--song", "a.txt", "-w"}, file), Windowed);
    EXPECT_EQ(file, "a.txt");
    EXPECT_EQ(take({"velomira", "-w", "--song=b.txt"}, file), Windowed);
    EXPECT_EQ(file, "b.txt");
    EXPECT_EQ(take({"velomiraw", "--song", "c.txt"}, file), Windowed);
    EXPECT_EQ(file, "c.txt");
    EXPECT_EQ(take({"velomira", "x", "-w"}, file), Fullscreen);
    EXPECT_EQ(file, "");
    take({"velomira", "-w", "--song", "-"}, file);
    EXPECT_EQ(file, "") << "- is the embedded score";
    for (std::vector<const char*> refused : {std::vector<const char*>{"velomira", "-w", "--song"},
                                             {"velomira", "--song="},
                                             {"velomira", "--song", ""},
                                             {"velomira", "--song", "a.txt", "--song"},
                                             {"velomira", "--song", "a.txt", "--song=b.txt"}}) {
        take(refused, file);
        EXPECT_EQ(file.rfind("(refused) --song ", 0), 0u) << file;
    }
    take({"velomira", "--song", "a.txt", "--song", "b.txt"}, file);
    EXPECT_NE(file.find("given twice (a.txt, b.txt)"), std::string::npos) << file;
}

// What the program prints for an argument list, and whether it answered.
std::pair<bool, std::string> info_for(std::vector<const char*> argv)
{
    std::FILE* out = std::tmpfile();
    bool answered = demo_answer_info_request(int(argv.size()), argv.data(), out);
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;)
        text.push_back(char(c));
    std::fclose(out);
    return {answered, text};
}

TEST(CommandLine, HelpAndVersionAreAnsweredOnlyAsTheExactFirstArgument)
{
    auto [helped, help] = info_for({"velomiraw", "--help"});
    EXPECT_TRUE(helped);
    for (const char* topic : {"-w", "velomiraw", "key or mouse button", "SDL12COMPAT_SYNC_TO_VBLANK=1",
                              "SDL12COMPAT_SCALE_METHOD=nearest", "velomira-song", "velomira-capture"})
        EXPECT_NE(help.find(topic), std::string::npos) << topic;

    auto [versioned, version] = info_for({"velomira", "--version"});
    EXPECT_TRUE(versioned);
    EXPECT_EQ(version, std::string("velomira ") + DemoVersion + "\n");
    EXPECT_TRUE(std::regex_match(DemoVersion, std::regex(R"([0-9]+\.[0-9]+(\.[0-9]+)*)"))) << DemoVersion;

    // Everything else plays, as the command-line rule has always said.
    for (std::vector<const char*> argv : std::vector<std::vector<const char*>>{
             {"velomira"}, {"velomira", "-w"}, {"velomira", "-w", "--help"}, {"velomira", "--HELP"},
             {"velomira", "-h"}, {"velomira", "--version=1"}, {nullptr}})
        EXPECT_EQ(info_for(argv), std::make_pair(false, std::string())) << argv.size();
}

TEST(PresentationDefaults, SetWhenUnsetAndKeptWhenTheUserSetThem)
{
    unsetenv("SDL12COMPAT_SYNC_TO_VBLANK");
    unsetenv("SDL12COMPAT_SCALE_METHOD");
    demo_set_presentation_defaults();
    EXPECT_STREQ(getenv("SDL12COMPAT_SYNC_TO_VBLANK"), "1");
    EXPECT_STREQ(getenv("SDL12COMPAT_SCALE_METHOD"), "nearest");

    setenv("SDL12COMPAT_SYNC_TO_VBLANK", "0", 1);
    setenv("SDL12COMPAT_SCALE_METHOD", "", 1);
    demo_set_presentation_defaults();
    EXPECT_STREQ(getenv("SDL12COMPAT_SYNC_TO_VBLANK"), "0");
    EXPECT_STREQ(getenv("SDL12COMPAT_SCALE_METHOD"), "");
    unsetenv("SDL12COMPAT_SYNC_TO_VBLANK");
    unsetenv("SDL12COMPAT_SCALE_METHOD");
}

TEST(Palette, IndexIsABrightnessWithABlueTint)
{
    demo_build_palette();
    auto rgb = [](int i) {
        return std::vector<int>{DemoPalette[i].r, DemoPalette[i].g, DemoPalette[i].b, DemoPalette[i].unused};
    };
    EXPECT_EQ(rgb(0), (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(rgb(85), (std::vector<int>{85, 85, 100, 0}));
    EXPECT_EQ(rgb(216), (std::vector<int>{216, 216, 254, 0}));
    EXPECT_EQ(rgb(255), (std::vector<int>{255, 255, 255, 0}));
    for (int i = 217; i < 256; ++i)
        EXPECT_EQ(DemoPalette[i].b, 255) << i;
    for (int i = 1; i < 256; ++i) {
        EXPECT_EQ(DemoPalette[i].r, i);
        EXPECT_GE(DemoPalette[i].b, DemoPalette[i - 1].b);
    }
}

// The parser works in place, so each test parses its own copy of the score.
void load_embedded_song()
{
    std::string message;
    ASSERT_EQ(demo_load_song("", message), 0) << message;
}

std::string temp_score(const std::string& name, const std::string& text)
{
    const std::string path = ::testing::TempDir() + "velomira_demo_" + name;
    std::ofstream(path) << text;
    return path;
}

TEST(Prerender, RendersUntilBar61WithOneFlushedDotPerBar)
{
    load_embedded_song();
    std::FILE* dots = std::tmpfile();
    ASSERT_NE(dots, nullptr);
    int32_t blocks = demo_prerender(dots);
    EXPECT_EQ(blocks, 5051);
    EXPECT_EQ(SongPosition.load(), 5051 * 1024);
    EXPECT_EQ(song_bar(SongPosition.load()), 61);

    std::rewind(dots);
    std::string text;
    for (int c; (c = std::fgetc(dots)) != EOF;)
        text.push_back(char(c));
    std::fclose(dots);
    EXPECT_EQ(text, std::string(61, '.'));
}

// A slower score renders on to its own bar 61, past two minutes; one whose
// bar 61 lies beyond ten minutes is refused, naming its tempo and length.
TEST(Prerender, FollowsTheScoresTempoUpToTenMinutes)
{
    std::string message;
    const std::string slow = temp_score("slow.txt", "bpm:90\ni1:sini,2,5,30,2300,0,0\np1:c4\nt1:p1,loop\n");
    ASSERT_EQ(demo_load_song(slow, message), 0) << message;
    const int32_t blocks = demo_prerender_blocks();
    EXPECT_EQ(blocks, (7182420 + 1023) / 1024);   // bar 61 at beat 244.3 of 4 rows of 7350 samples
    EXPECT_EQ(SongBufferSamples, blocks * 1024);
    std::FILE* dots = std::tmpfile();
    ASSERT_NE(dots, nullptr);
    EXPECT_EQ(demo_prerender(dots), blocks);
    EXPECT_EQ(std::ftell(dots), 61);
    std::fclose(dots);
    EXPECT_TRUE(std::any_of(SongBuffer + SongBufferMinSamples, SongBuffer + SongBufferSamples,
                            [](int16_t s) { return s != 0; }))
        << "nothing rendered after two minutes";

    const std::string crawl = temp_score("crawl.txt", "bpm:20\ni1:sini,2,5,30,2300,0,0\np1:c4\nt1:p1,loop\n");
    EXPECT_EQ(demo_load_song(crawl, message), -1);
    EXPECT_EQ(message, crawl + ": error: at 20.0 bpm the show's bar 61 begins 12:12 into the music; a song may "
                               "last at most 10 minutes");
    std::remove(slow.c_str());
    std::remove(crawl.c_str());
    load_embedded_song();
    EXPECT_EQ(SongBufferSamples, SongBufferMinSamples);
}

TEST(Prerender, WorksWithoutAProgressStream)
{
    synth_init(44100);
    std::string empty;
    ASSERT_EQ(song_parse(empty.data()), 0);
    EXPECT_EQ(demo_prerender(nullptr), 5051);
}

} // namespace

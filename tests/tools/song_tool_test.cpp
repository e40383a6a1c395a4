// velomira-song: the rendered file equals the demo's SongBuffer, errors are
// reported with file and line and leave nothing behind, and check reports.
#include "song_tool.h"

#include "look.h"

#include "driver/demo.h"
#include "synth/embedded_song.h"
#include "synth/synth.h"
#include "tests/support/embedded_render.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string temp_path(const std::string& name)
{
    return ::testing::TempDir() + "velomira_song_tool_" + name;
}

std::vector<int16_t> read_audio(const std::string& path, SF_INFO& info)
{
    info = SF_INFO{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path;
    if (!file)
        return {};
    std::vector<int16_t> samples(size_t(info.frames));
    EXPECT_EQ(sf_read_short(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    return samples;
}

bool exists(const std::string& path)
{
    return std::ifstream(path).good();
}

std::string read_text(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

TEST(SongTool, RenderOfTheEmbeddedScoreEqualsTheDemosSongBuffer)
{
    const std::string wav = temp_path("demo.wav");
    std::ostringstream err;
    ASSERT_EQ(song_tool_render("-", wav, DefaultRenderSamples, false, err), 0) << err.str();
    SF_INFO info;
    std::vector<int16_t> rendered = read_audio(wav, info);
    std::remove(wav.c_str());
    EXPECT_EQ(info.samplerate, 44100);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);

    ASSERT_EQ(embedded_song_render().size(), size_t(DefaultRenderSamples));
    EXPECT_EQ(rendered, embedded_song_render());
    // Its kick clips: one line says how much and where.
    EXPECT_EQ(err.str().rfind(wav + ": the mix clips in 5225 samples (0.101%), in bars 0, 3, 7-31, 33, 35, 39-56;", 0), 0u)
        << err.str();
}

// --solo writes a stem: the chosen track as if the others were not in the
// score; a track the score does not play is refused before anything is written.
TEST(SongTool, SoloRendersAStem)
{
    const std::string both = temp_path("both.txt"), one = temp_path("one.txt"), wav = temp_path("stem.wav");
    const std::string music = "bpm:125\ni1:saha,2,5,30,2300,0,2\ni2:sini,20,0,3000,2000,0\np1:a2,c3,e3,00\n"
                              "p2:c5,00,e5,00,g5\nt1:p1,loop\n";
    std::ofstream(both) << music << "t2:p2,loop\n";
    std::ofstream(one) << music;
    std::ostringstream err;
    TrackChoice solo;
    std::string message;
    const std::string first = "1";
    ASSERT_EQ(take_read_choice(&first, nullptr, solo, message), 0);
    ASSERT_EQ(song_tool_render(both, wav, 60000, false, err, solo), 0) << err.str();
    SF_INFO info;
    const std::vector<int16_t> stem = read_audio(wav, info);
    ASSERT_EQ(song_tool_render(one, wav, 60000, false, err), 0) << err.str();
    EXPECT_EQ(stem, read_audio(wav, info));
    std::remove(wav.c_str());

    const std::string ninth = "9";
    ASSERT_EQ(take_read_choice(&ninth, nullptr, solo, message), 0);
    EXPECT_EQ(song_tool_render(both, wav, 60000, false, err, solo), 2);
    EXPECT_NE(err.str().find("--solo 9: track 9 is not played; the score plays tracks 1 to 2\n"), std::string::npos)
        << err.str();
    EXPECT_FALSE(exists(wav));
    std::remove(both.c_str());
    std::remove(one.c_str());
}

TEST(SongTool, FlacHoldsTheSameSamples)
{
    const std::string wav = temp_path("short.wav"), flac = temp_path("short.flac");
    std::ostringstream err;
    ASSERT_EQ(song_tool_render("-", wav, 50000, false, err), 0);
    ASSERT_EQ(song_tool_render("-", flac, 50000, false, err), 0);
    SF_INFO wavInfo, flacInfo;
    EXPECT_EQ(read_audio(flac, flacInfo), read_audio(wav, wavInfo));
    EXPECT_EQ(flacInfo.format & SF_FORMAT_TYPEMASK, SF_FORMAT_FLAC);
    std::remove(wav.c_str());
    std::remove(flac.c_str());
}

TEST(SongTool, RejectedScoreNamesFileAndLineAndWritesNothing)
{
    const std::string song = temp_path("bad.txt"), wav = temp_path("bad.wav");
    std::ofstream(song) << "bpm:125\n\ni1:saha, 2,5,1,30,0\np1:c4, sld\nt1:p1,p7,loop\n";
    std::ostringstream err;
    EXPECT_EQ(song_tool_render(song, wav, 1000, false, err), 1);
    EXPECT_EQ(err.str(), song + ":4: error: \"sld\" needs a number after it\n"
                                "    | p1:c4, sld\n"
                                "(2 more; velomira-song check " + song + " lists them all)\n");
    EXPECT_FALSE(exists(wav));

    // The score as its own output, also through a link: refused, kept.
    const std::string link = temp_path("link.wav");
    std::remove(link.c_str());
    ASSERT_EQ(symlink(song.c_str(), link.c_str()), 0);
    for (const std::string& out : {song, link}) {
        std::ostringstream same;
        EXPECT_EQ(song_tool_render(song, out, 1000, false, same), 2);   // refused before any work
        EXPECT_EQ(same.str(), out + ": this is the score itself; give another output file\n");
    }
    EXPECT_EQ(read_text(song), "bpm:125\n\ni1:saha, 2,5,1,30,0\np1:c4, sld\nt1:p1,p7,loop\n");
    std::remove(link.c_str());
    std::remove(song.c_str());
}

TEST(SongTool, UnwritableOutputIsReportedWithoutLeftovers)
{
    std::ostringstream err;
    EXPECT_EQ(song_tool_render("-", "/nonexistent-dir/out.wav", 1000, false, err), 1);
    EXPECT_EQ(err.str().rfind("cannot write /nonexistent-dir/out.wav: ", 0), 0u) << err.str();
}

// A score that cannot be read is a failure (1); a length out of range is
// refused before any work (2).
TEST(SongTool, MissingScoreFailsAndABadLengthIsRefused)
{
    std::ostringstream err;
    EXPECT_EQ(song_tool_render("/nonexistent/song.txt", temp_path("x.wav"), 1000, false, err), 1);
    EXPECT_NE(err.str().find("/nonexistent/song.txt: cannot open"), std::string::npos);
    EXPECT_EQ(song_tool_render("-", temp_path("x.wav"), 0, false, err), 2);
    EXPECT_EQ(song_tool_render("-", temp_path("x.wav"), MaxRenderSamples + 1, false, err), 2);
    EXPECT_FALSE(exists(temp_path("x.wav")));
}

TEST(SongTool, UnreadableScoreIsNotAnEmptySong)
{
    // A directory opens but cannot be read: an error, not a silent valid song.
    const std::string dir = ::testing::TempDir();
    std::ostringstream err, out;
    EXPECT_EQ(song_tool_render(dir, temp_path("dir.wav"), 1000, false, err), 1);
    EXPECT_NE(err.str().find(dir + ": cannot read"), std::string::npos) << err.str();
    EXPECT_FALSE(exists(temp_path("dir.wav")));
    EXPECT_EQ(song_tool_check(dir, out), 1);
    EXPECT_NE(out.str().find(dir + ": cannot read"), std::string::npos) << out.str();

    // Endless input is refused at the size limit, in bounded memory.
    std::ostringstream endless;
    EXPECT_EQ(song_tool_check("/dev/zero", endless), 1);
    EXPECT_EQ(endless.str(), "/dev/zero: error: larger than 16 MB, the most a score may be\n");
}

// look and render write only their own kind of file, and never over the score.
TEST(SongTool, OutputsThatAreTheScoreOrNotTheirKindAreRefused)
{
    const std::string song = temp_path("kind.txt"), link = temp_path("kind-link.txt");
    const std::string text = "bpm:125\ni1:saha,2,5,30,2300,0,2\np1:c4\nt1:p1\n";
    std::ofstream(song) << text;
    std::remove(link.c_str());
    ASSERT_EQ(symlink(song.c_str(), link.c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(song_tool_look(song, song), 2);
    EXPECT_EQ(song_tool_look(link, song), 2);
    EXPECT_EQ(song_tool_look(song, temp_path("kind.wav")), 2);
    EXPECT_EQ(song_tool_look(song, temp_path("kind.png/")), 2);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(song + ": this is the score itself"), std::string::npos) << said;
    EXPECT_NE(said.find("kind.wav: give a name ending in .png\n"), std::string::npos) << said;
    EXPECT_NE(said.find("kind.png/\": not a file name"), std::string::npos) << said;
    EXPECT_EQ(read_text(song), text);
    EXPECT_FALSE(exists(temp_path("kind.wav")));

    std::ostringstream err;
    EXPECT_EQ(song_tool_render(song, temp_path("kind.mp3"), 1000, false, err), 2);
    EXPECT_EQ(err.str(), temp_path("kind.mp3") + ": give a name ending in .wav or .flac\n");
    EXPECT_FALSE(exists(temp_path("kind.mp3")));
    std::remove(link.c_str());
    std::remove(song.c_str());
}

// Show lines are the show's, not ignored lines: checked with their line
// numbers, and the show's end weighed against the music's.
TEST(SongTool, CheckReadsShowLinesAndTheShowsLength)
{
    std::ostringstream out;
    const std::string music = "bpm:140\ni1:saha,2,5,30,2300,0,2\np1:a2,00,a3,00\nt1:p1,p1,p1,p1\n";
    EXPECT_EQ(song_tool_check_text("s.txt", music + "show:row,0,0,0,0,0,-5,0,0,23\nshow:end,3\n", out), 0);
    // Levels without clipping: a report, no warning.
    EXPECT_EQ(out.str(), "s.txt: levels: mix peak -12.2 dBFS, 0 samples clipped (0.000%), loudness -26.1 LUFS\n"
                         "s.txt: track peaks: 1 -12.2 dBFS\n"
                         "s.txt: valid, 1 track played, 0 warnings\n");
    out.str("");
    EXPECT_EQ(song_tool_check_text("s.txt", music + "show:row,0,0,0,0,0,-5,0,0,23\nshow:row, 8, 0,0,0,0, 0,0,0,200\n", out), 1);
    EXPECT_EQ(out.str(), "s.txt:6: error: target t8 \"200\" is not a number from -128 to 127\n"
                         "    | show:row, 8, 0,0,0,0, 0,0,0,200\n"
                         "s.txt: rejected\n");
    out.str("");
    EXPECT_EQ(song_tool_check_text("s.txt", music, out), 0);
    EXPECT_EQ(out.str().rfind("s.txt: warning: the show ends at bar 59, 59 bars after the music's last row (bar 0)\n"
                              "s.txt: levels: ", 0), 0u) << out.str();
    out.str("");
    EXPECT_EQ(song_tool_check_text("slow.txt", "bpm:20\n" + music.substr(8), out), 1);
    EXPECT_EQ(out.str(), "slow.txt: error: at 20.0 bpm the show's bar 61 begins 12:12 into the music; a song may "
                         "last at most 10 minutes\nslow.txt: rejected\n");
}

TEST(SongTool, CheckListsFindingsAndJudgesTheSong)
{
    const std::string song = temp_path("check.txt");
    std::ofstream(song) << "bpm:125\ni1:sinus,2,13,30,3700,0\np1:c4, E4\nt1:p1,loop\n";
    std::ostringstream out;
    EXPECT_EQ(song_tool_check(song, out), 0);
    EXPECT_EQ(out.str(),
              song + ":2: warning: unknown waveform \"sinus\" (kantti, sini, saha, kohina); it keeps the previous one, kantti\n"
                     "    | i1:sinus,2,13,30,3700,0\n" +
                  song + ":3: warning: \"E4\" is not a note (c1..b6) or command; it plays as an empty row (there "
                         "is no E (e sharp); its neighbours are e4 and f4)\n"
                         "    | p1:c4, E4\n" +
                  song + ": levels: mix peak -0.8 dBFS, 0 samples clipped (0.000%), loudness -10.3 LUFS\n" + song +
                  ": track peaks: 1 -0.8 dBFS\n" + song + ": valid, 1 track played, 2 warnings\n");

    // In line order: the tempo after the instrument is found last but said first.
    std::ofstream(song, std::ios::trunc) << "i1:saha,2,5,1,30,0\nbpm:125\np1:c4\nt1:p1,p9\n";
    std::ostringstream rejected;
    EXPECT_EQ(song_tool_check(song, rejected), 1);
    EXPECT_LT(rejected.str().find(":2: error: the tempo line must come before"),
              rejected.str().find(":4: error: track 1 plays pattern 9"))
        << rejected.str();
    std::remove(song.c_str());

    // A finding repeated on one line is reported once with its count.
    std::ostringstream repeated;
    EXPECT_EQ(song_tool_check_text("s", "bpm:125\ni1:saha,2,5,1,30,0\np1:\np2:c4\nt1:p2,p1,p1,p1,loop\n",
                                   repeated), 1);
    EXPECT_EQ(repeated.str(), "s:5: error: track 1 plays pattern 1, which has no cells (3 times)\n"
                              "    | t1:p2,p1,p1,p1,loop\n"
                              "s: rejected\n");
    // Bytes that are no score are one error, never a silent song.
    std::ostringstream utf16, nul, silent;
    EXPECT_EQ(song_tool_check_text("u", std::string("\xFF\xFE" "b\0p\0m\0", 8), utf16), 1);
    EXPECT_EQ(utf16.str(), "u:1: error: the score is UTF-16 text; save it as UTF-8 (or plain ASCII)\nu: rejected\n");
    EXPECT_EQ(song_tool_check_text("n", std::string("bpm:125\np1:c4\0c5\n", 17), nul), 1);
    EXPECT_EQ(nul.str(), "n:2: error: a NUL byte (character 0) in the text; a score is plain text, and nothing "
                         "after it would be read\n    | p1:c4\nn: rejected\n");
    EXPECT_EQ(song_tool_check_text("c", "bpm:125\rp1:c4\r", silent), 0);
    EXPECT_EQ(silent.str(), "c: warning: no track is played, so the song is silent: tracks play from t1 up to "
                            "the first missing one\nc: valid, 0 tracks played, 1 warning\n");
}

// The embedded score's lines are clean; its kick drives the mix into the
// limit just above the warning's share, and check says where.
TEST(SongTool, TheEmbeddedScoreChecksCleanButClips)
{
    std::ostringstream out;
    EXPECT_EQ(song_tool_check("-", out), 0);
    EXPECT_EQ(out.str().find(":1"), std::string::npos) << out.str();   // no finding on a line
    EXPECT_NE(out.str().find("(embedded score): warning: the mix clips in 0.104% of its samples (5225), driven by "
                             "track 1, in bars 0, 3, 7-31, 33, 35, 39-56: "),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("(embedded score): valid, 9 tracks played, 1 warning\n"), std::string::npos) << out.str();
}

TEST(SongTool, PrintWritesTheEmbeddedScore)
{
    std::ostringstream out;
    EXPECT_EQ(song_tool_print(out), 0);
    EXPECT_EQ(out.str(), EmbeddedSong);
}

}   // namespace

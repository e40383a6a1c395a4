// Runs the real velomira-capture (and velomira-song render) as a user would
// and checks what they leave on disk: complete, consistent outputs, or
// nothing at all.
#include "driver/demo.h"
#include "playback/playback.h"
#include "show/offline.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tools/velomira-capture/sheet.h"
#include "tools/velomira-capture/y4m.h"
#include "tests/support/png_read.h"
#include "tests/support/programs.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

size_t count_lines(const std::string& text)
{
    return size_t(std::count(text.begin(), text.end(), '\n'));
}

class CaptureEndToEnd : public ScratchDirTest {
protected:
    // Runs the tool in the test's directory with a shell prefix (limits).
    ScriptRun capture(const std::string& arguments, const std::string& prefix = "") const
    {
        return run_script(dir, prefix + " timeout -s KILL 240 " CAPTURE_BIN " " + arguments);
    }

    // What a directory holds (the test's own by default), links as themselves.
    std::vector<std::string> listing(const fs::path& where = {}) const
    {
        const fs::path top = where.empty() ? dir : where;
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(top))
            names.push_back(entry.path().lexically_relative(top).string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

constexpr size_t FrameBytes = 6 + FramePixels * 3 / 2;   // "FRAME\n" and the planes

TEST_F(CaptureEndToEnd, ShortRangeWritesConsistentVideoStillsAndMusic)
{
    ScriptRun run = capture("--frames 0:20 --png stills --y4m show.y4m --wav show.wav");
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
    ScriptRun run = capture("--fps 25 --frames 0:3 --y4m -");
    ASSERT_EQ(run.status, 0) << run.err;
    std::string video = run.out;
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
    ScriptRun run = capture("--song small.txt --frames 0:150 --wav music.wav -q");
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

    if (AddressSanitized)
        return;
    // Out of memory reading a big score: one line, and the folders and files
    // already made go again. The limit is the address space the tool has
    // while it waits to open its first output, plus 8 MB: too little to hold
    // a 15 MB score.
    std::ofstream(dir / "big.txt") << "bpm:125\n" << std::string(15 << 20, 'x') << "\n";
    run = run_script(dir, "mkfifo wait.y4m; " CAPTURE_BIN " --y4m wait.y4m -q 2>/dev/null & n=0\n"
                          "while [ \"$(cat /proc/$!/wchan)\" != wait_for_partner ] && [ $n -lt 200 ]; do\n"
                          "    sleep 0.05; n=$((n + 1))\n"
                          "done\n"
                          "size=$(awk '/^VmSize/ { print $2 }' /proc/$!/status); kill -TERM $!; wait $!; rm wait.y4m\n"
                          "ulimit -v $((size + 8192)); "
                          CAPTURE_BIN " --song big.txt --png stills/new --wav music.wav -q");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "velomira-capture: out of memory\n");
    EXPECT_EQ(listing(), (std::vector<std::string>{"bad.txt", "big.txt", "small.txt"}));
}

TEST_F(CaptureEndToEnd, HelpShowsAnExample)
{
    ScriptRun run = capture("--help");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("Examples:"), std::string::npos);
    EXPECT_NE(run.out.find("velomira-capture --png stills --at 40"), std::string::npos);
}

// Each refusal is one line naming what it refuses, and leaves the directory
// as it was: nothing written, no folder made.
TEST_F(CaptureEndToEnd, UserErrorsAreOneClearLineAndWriteNothing)
{
    const char* const refused[][2] = {   // the arguments, what the line mentions
        {"--y4m missing/show.y4m", "missing/show.y4m"},
        {"--wav existing/nested/a.wav", "existing/nested/a.wav"},
        {"--y4m show.y4m --wav missing/a.wav", "missing/a.wav"},
        {"--y4m show.y4m --png afile", "afile"},
        {"--png stills --y4m existing", "existing: it is a directory"},
        {"--png /proc/velomira", "/proc/velomira"},
        {"--frames 9:3 --png stills", "--frames 9:3"},
        {"--frames 10 --png stills", "--frames 10"},
        {"--frames 9000: --png stills", "8508 frames"},
        {"--fps 0 --png stills", "--fps"},
        {"--fps 76 --png stills", "--fps"},
        {"--fps ten", "--fps"},
        {"--at 200 --png stills", "--at"},
        {"--at -1 --png stills", "--at"},
        {"--at 5 --frames 0:3", "--at"},
        {"--at nan --png stills", "--at nan: not a number"},
        {"--fps 0x10 --png stills", "--fps 0x10"},
        {"--png ''", "--png: the name is empty"},
        {"--y4m x.y4m --wav ./x.y4m", "--wav ./x.y4m: the same file as --y4m x.y4m"},
        {"--y4m", "--y4m"},
        {"--video show.avi", "--video show.avi"},
        {"--video show.mp4 --preset sluggish", "sluggish"},
        {"--scale 5 --png stills", "--scale"},
        {"--scale 0x2 --png stills", "--scale 0x2: not a whole number from 1 to 4"},
        {"--crf 0x10 --video show.mkv", "--crf 0x10: not a whole number from 0 to 63"},
        // No output may be the score or another output, through any link.
        {"--song afile --wav afile", "--wav afile: the same file as --song afile"},
        {"--song afile --y4m afile", "--y4m afile: the same file as --song afile"},
        {"--song afile --video link.mkv", "--video link.mkv: the same file as --song afile"},
        {"--wav a.mkv --video a.mkv", "--wav a.mkv: the same file as --video a.mkv"},
        {"--wav b.png --sheet b.png", "--sheet b.png: the same file as --wav b.png"},
        {"--y4m c.mkv --video c.mkv", "--y4m c.mkv: the same file as --video c.mkv"},
        {"--png d --sheet d.png --wav d", "--wav d: the same file as --png d"},
        {"--png . --y4m frame-00003.png", "the same file as a frame of --png ."},
        // Every directory the run made goes again.
        {"--png a/b/c --wav nodir/x.wav", "nodir/x.wav"},
        // Settings with nothing to apply to, empty and misleading names.
        {"--crf 20 --png stills", "--crf 20: only --video uses it"},
        {"--preset fast --y4m x.y4m", "--preset fast: only --video uses it"},
        {"--scale 2 --wav x.wav --sheet x.png", "--scale 2: only --png, --y4m and --video"},
        {"--video ''", "--video: the name is empty"},
        {"--sheet ''", "--sheet: the name is empty"},
        {"--song ''", "--song: the name is empty"},
        {"--sheet board.jpg", "--sheet board.jpg: the storyboard is a PNG image"},
        {"--song /dev/zero --wav x.wav", "/dev/zero"},
        // libpng's failure is the one line, with the reason.
        {"--sheet /dev/full", "cannot write --sheet /dev/full: No space left on device"},
    };
    for (size_t i = 0; i < std::size(refused); ++i) {
        const auto& [arguments, mentions] = refused[i];
        SCOPED_TRACE(arguments);
        const fs::path own = dir / std::to_string(i);
        fs::create_directories(own / "existing");
        std::ofstream(own / "afile") << "x";
        fs::create_symlink("afile", own / "link.mkv");
        ScriptRun run = run_script(own, std::string("timeout -s KILL 240 " CAPTURE_BIN " ") + arguments);
        EXPECT_NE(run.status, 0);
        EXPECT_EQ(count_lines(run.err), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("velomira-capture: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(mentions), std::string::npos) << run.err;
        EXPECT_EQ(listing(own), (std::vector<std::string>{"afile", "existing", "link.mkv"}));
        EXPECT_EQ(read_file(own / "afile"), "x");
    }
}

// A run that fails halfway or is interrupted takes back what it made: the
// files of an earlier run come back, the new ones go.
TEST_F(CaptureEndToEnd, FailureHalfwayOrInterruptTakesEverythingBack)
{
    // A 1 MB file size limit stops the video in its third frame, after the
    // music and the first stills were already in place.
    fs::create_directory(dir / "stills");
    std::ofstream(dir / "show.wav") << "older music";
    std::ofstream(dir / "stills" / "frame-00001.png") << "older still";
    ScriptRun run = capture("--frames 0:10 --y4m show.y4m --wav show.wav --png stills", "ulimit -f 2000;");
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(count_lines(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("show.y4m"), std::string::npos) << run.err;
    EXPECT_EQ(listing(), (std::vector<std::string>{"show.wav", "stills", "stills/frame-00001.png"}));
    EXPECT_EQ(read_file(dir / "show.wav"), "older music");
    EXPECT_EQ(read_file(dir / "stills" / "frame-00001.png"), "older still");

    // The same for a video file that outgrows the limit while encoding.
    run = capture("--frames 1500:1800 --video show.mp4 --wav show.wav", "ulimit -f 2000;");
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(count_lines(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find("--video show.mp4"), std::string::npos) << run.err;
    EXPECT_EQ(listing(), (std::vector<std::string>{"show.wav", "stills", "stills/frame-00001.png"}));
    EXPECT_EQ(read_file(dir / "show.wav"), "older music");

    // Ctrl+C once the encoders are writing.
    run = run_script(dir, CAPTURE_BIN " --video show.mp4 --wav show.wav & n=0\n"
                          "while [ $n -lt 1200 ] && [ -z \"$(find . -name 'show.mp4.*' -size +20k)\" ]; do\n"
                          "    sleep 0.05; n=$((n + 1))\n"
                          "done\n"
                          "kill -INT $!; wait $!");
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("interrupted"), std::string::npos) << run.err;
    EXPECT_EQ(listing(), (std::vector<std::string>{"show.wav", "stills", "stills/frame-00001.png"}));
    EXPECT_EQ(read_file(dir / "show.wav"), "older music");
}

// velomira-song render shares the output files: a device or FIFO is written
// in place, and a stop by a signal or a size limit leaves nothing behind.
TEST_F(CaptureEndToEnd, SongRenderOutputsInPlaceOrNotAtAll)
{
    ScriptRun limited = run_script(dir, "ulimit -f 100; " SONG_BIN " render - limited.wav");
    EXPECT_EQ(limited.status, 1);
    EXPECT_NE(limited.err.find("limited.wav"), std::string::npos) << limited.err;

    // Stopped while the music is being written: an hour renders in about a
    // second here, so the signal follows the temporary file's first bytes.
    ScriptRun stopped = run_script(dir, SONG_BIN " render - stopped.wav --seconds 3600 & n=0\n"
                                        "while [ $n -lt 2000 ] && [ -z \"$(find . -name 'stopped.wav.*' -size +0)\" ]\n"
                                        "do n=$((n + 1)); done\n"
                                        "kill -TERM $!; wait $!");
    EXPECT_EQ(stopped.status, 1);
    EXPECT_NE(stopped.err.find("interrupted"), std::string::npos) << stopped.err;
    EXPECT_TRUE(listing().empty());

    // A WAV cannot seek back in a pipe: it still arrives whole, byte for byte.
    ASSERT_EQ(mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
    ScriptRun piped = run_script(dir, "cat fifo.wav > got.wav & " SONG_BIN " render - fifo.wav --seconds 1; s=$?; "
                                      "wait; " SONG_BIN " render - file.wav --seconds 1 && exit $s");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_TRUE(fs::is_fifo(dir / "fifo.wav"));
    EXPECT_EQ(read_file(dir / "got.wav").size(), 44u + 2 * 44100);
    EXPECT_EQ(read_file(dir / "got.wav"), read_file(dir / "file.wav"));
}

// Standard output of a command (ffprobe, ffmpeg) run beside the file it reads.
std::string output_about(const fs::path& file, const std::string& command)
{
    return run_script(file.parent_path(), command).out;
}

// What ffprobe says about the video or audio streams of a file, "key=value" lines.
std::string probe(const fs::path& file, const std::string& stream)
{
    std::string entries = stream == "v" ? "codec_name,width,height,r_frame_rate,nb_read_frames"
                                        : "codec_name,sample_rate,channels";
    return output_about(file, "ffprobe -v error -count_frames -select_streams " + stream + " -show_entries stream=" +
                                  entries + " -of default=noprint_wrappers=1 '" + file.string() + "'");
}

// A decoded frame of a video against the paletted still it was made from,
// in RGB, as a peak signal-to-noise ratio in dB.
double frame_psnr(const fs::path& video, int frame, const PalettedImage& still)
{
    std::string rgb = output_about(video, "ffmpeg -v error -i '" + video.string() + "' -vf 'select=eq(n\\," +
                                              std::to_string(frame) + ")' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    if (rgb.size() != still.pixels.size() * 3)
        return 0;
    double sum = 0;
    for (size_t i = 0; i < still.pixels.size(); ++i) {
        const auto& colour = still.palette[still.pixels[i]];
        for (int c = 0; c < 3; ++c) {
            double want = c == 0 ? colour.r : c == 1 ? colour.g : colour.b;
            double error = double(uint8_t(rgb[3 * i + size_t(c)])) - want;
            sum += error * error;
        }
    }
    double mse = sum / double(rgb.size());
    return mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99;
}

// Decoded audio of a file's first audio stream, 16-bit stereo at a rate.
std::string decoded_audio(const fs::path& file, int rate)
{
    return output_about(file, "ffmpeg -v error -i '" + file.string() + "' -map 0:a -ac 2 -ar " +
                                  std::to_string(rate) + " -f s16le -acodec pcm_s16le -");
}

// 300 frames (4 s) as MP4, WebM and MKV: one video stream of the asked size,
// rate and length that looks like the stills, one audio stream of the same
// length, and in the lossless container the very samples of the WAV file.
TEST_F(CaptureEndToEnd, VideoFilesCarryTheFramesAndTheMusic)
{
    ScriptRun run = capture("--frames 0:300 --video show.mp4 --wav show.wav --png stills");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("show.mp4"), std::string::npos) << run.err;
    ASSERT_EQ((run = capture("--frames 0:300 --video show.webm")).status, 0) << run.err;
    ASSERT_EQ((run = capture("--frames 0:300 --scale 2 --video show.mkv")).status, 0) << run.err;

    EXPECT_EQ(probe(dir / "show.mp4", "v"),
              "codec_name=h264\nwidth=640\nheight=480\nr_frame_rate=75/1\nnb_read_frames=300\n");
    EXPECT_EQ(probe(dir / "show.webm", "v"),
              "codec_name=vp9\nwidth=640\nheight=480\nr_frame_rate=75/1\nnb_read_frames=300\n");
    EXPECT_EQ(probe(dir / "show.mkv", "v"),
              "codec_name=h264\nwidth=1280\nheight=960\nr_frame_rate=75/1\nnb_read_frames=300\n");
    EXPECT_EQ(probe(dir / "show.mp4", "a"), "codec_name=aac\nsample_rate=44100\nchannels=2\n");
    EXPECT_EQ(probe(dir / "show.webm", "a"), "codec_name=opus\nsample_rate=48000\nchannels=2\n");
    EXPECT_EQ(probe(dir / "show.mkv", "a"), "codec_name=flac\nsample_rate=44100\nchannels=2\n");

    // The music of 4 s; the lossy codecs to within one of their frames.
    std::string wav = read_file(dir / "show.wav");
    constexpr size_t WavHeader = 44;
    ASSERT_EQ(wav.size(), WavHeader + 176400u * 4);
    EXPECT_NEAR(double(decoded_audio(dir / "show.mp4", 44100).size()), 176400.0 * 4, 1024.0 * 4);
    EXPECT_NEAR(double(decoded_audio(dir / "show.webm", 48000).size()), 192000.0 * 4, 960.0 * 4);
    EXPECT_TRUE(decoded_audio(dir / "show.mkv", 44100) == wav.substr(WavHeader)) << "the FLAC music differs";

    // Pictures: a dark early frame and the last one, against their stills.
    // Measured with the default settings: H.264 36.7 and 39.6 dB, VP9 39.5
    // and 38.2 dB (the 4:2:0 conversion alone allows about 47 dB here).
    for (int frame : {150, 299}) {
        PalettedImage still;
        std::string error;
        char name[40];
        std::snprintf(name, sizeof name, "stills/frame-%05d.png", frame);
        ASSERT_TRUE(png_read_paletted((dir / name).string(), still, error)) << error;
        EXPECT_GE(frame_psnr(dir / "show.mp4", frame, still), 36.0) << "frame " << frame;
        EXPECT_GE(frame_psnr(dir / "show.webm", frame, still), 37.5) << "frame " << frame;
    }
}

// A video's name is a file name, never an FFmpeg address: "pipe:" does not
// mean standard output, nor "file:" another file.
TEST_F(CaptureEndToEnd, VideoNamesAreFileNames)
{
    for (const char* name : {"pipe:a.mkv", "file:f.mkv"}) {
        ScriptRun run = capture(std::string("-q --at 1 --video ") + name);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "") << name;
        EXPECT_EQ(read_file(dir / name).substr(0, 4), "\x1a\x45\xdf\xa3") << name;   // Matroska
        EXPECT_NE(probe(dir / name, "v").find("nb_read_frames=1\n"), std::string::npos) << name;
    }
    EXPECT_EQ(listing(), (std::vector<std::string>{"file:f.mkv", "pipe:a.mkv"}));
}

TEST_F(CaptureEndToEnd, ScaledPicturesArePixelsRepeated)
{
    ASSERT_EQ(capture("-q --at 2 --png plain").status, 0);
    ScriptRun run = capture("--at 2 --scale 2 --png big --y4m big.y4m");
    ASSERT_EQ(run.status, 0) << run.err;
    PalettedImage plain, big;
    std::string error;
    ASSERT_TRUE(png_read_paletted((dir / "plain/frame-00150.png").string(), plain, error)) << error;
    ASSERT_TRUE(png_read_paletted((dir / "big/frame-00150.png").string(), big, error)) << error;
    ASSERT_EQ(big.width, 2 * FrameWidth);
    ASSERT_EQ(big.height, 2 * FrameHeight);
    EXPECT_EQ(big.palette.size(), plain.palette.size());
    size_t differing = 0;
    for (int32_t y = 0; y < big.height; ++y)
        for (int32_t x = 0; x < big.width; ++x)
            differing += big.pixels[size_t(y * big.width + x)] != plain.pixels[size_t(y / 2 * FrameWidth + x / 2)];
    EXPECT_EQ(differing, 0u);
    std::string video = read_file(dir / "big.y4m");
    std::string header = y4m_header(75, 2 * FrameWidth, 2 * FrameHeight);
    EXPECT_EQ(video.compare(0, header.size(), header), 0);
    EXPECT_EQ(video.size(), header.size() + 6 + size_t(FramePixels) * 4 * 3 / 2);
}

// The storyboard: a title, then a 4-column grid of half-size stills, one
// from each keyframe section, with a label drawn under each.
TEST_F(CaptureEndToEnd, StoryboardShowsEachKeyframeSection)
{
    std::vector<SheetStill> stills = sheet_stills(75);
    int64_t bar8 = stills[1].frame;
    ScriptRun run = capture("--sheet board.png --frames " + std::to_string(bar8) + ":" + std::to_string(bar8 + 1) +
                          " --png stills");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("board.png"), std::string::npos) << run.err;
    PalettedImage board, still;
    std::string error;
    ASSERT_TRUE(png_read_paletted((dir / "board.png").string(), board, error)) << error;
    char name[40];
    std::snprintf(name, sizeof name, "stills/frame-%05lld.png", (long long)bar8);
    ASSERT_TRUE(png_read_paletted((dir / name).string(), still, error)) << error;
    int32_t rows = (int32_t(stills.size()) + SheetColumns - 1) / SheetColumns;
    ASSERT_EQ(board.width, SheetColumns * 320);
    ASSERT_EQ(board.height, SheetTitleHeight + rows * SheetCellHeight);
    // Cell 1 (top row, second column) is that frame halved by 2x2 averages.
    size_t differing = 0;
    for (int32_t y = 0; y < 240; ++y)
        for (int32_t x = 0; x < 320; ++x) {
            const uint8_t* p = still.pixels.data() + 2 * y * FrameWidth + 2 * x;
            int want = (p[0] + p[1] + p[FrameWidth] + p[FrameWidth + 1] + 2) / 4;
            differing += board.pixels[size_t((SheetTitleHeight + y) * board.width + 320 + x)] != want;
        }
    EXPECT_EQ(differing, 0u);
    // The title and its label strip have text in them; every cell shows a
    // picture (the show's start, a cut and its end used to give black cells).
    size_t title = 0, lit = 0;
    for (int32_t y = 0; y < SheetTitleHeight; ++y)
        for (int32_t x = 0; x < board.width; ++x)
            title += board.pixels[size_t(y * board.width + x)] != 0;
    for (int32_t y = SheetTitleHeight + 240; y < SheetTitleHeight + SheetCellHeight; ++y)
        for (int32_t x = 320; x < 640; ++x)
            lit += board.pixels[size_t(y * board.width + x)] != 0;
    EXPECT_GT(title, 1000u);
    EXPECT_GT(lit, 100u);
    for (size_t cell = 0; cell < stills.size(); ++cell) {
        size_t shown = 0;
        const int32_t top = SheetTitleHeight + int32_t(cell / SheetColumns) * SheetCellHeight;
        const int32_t left = int32_t(cell % SheetColumns) * SheetCellWidth;
        for (int32_t y = top; y < top + SheetPictureHeight; ++y)
            for (int32_t x = left; x < left + SheetCellWidth; ++x)
                shown += board.pixels[size_t(y * board.width + x)] > 64;
        EXPECT_GT(shown, 2000u) << "cell " << cell << " is (nearly) black";
    }
}

} // namespace

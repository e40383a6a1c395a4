// velomira-capture: plays the demo offline at a fixed frame rate and writes
// the frames (a finished video with the music, YUV4MPEG2 video, paletted
// PNGs, a storyboard) and the music (WAV), without a display or a sound
// device and the same on every run. The frames are converted, encoded and
// written on a second thread while the next one is drawn (frame_writer.h).
//
// The music is rendered exactly as the demo renders it; frame k then has show
// time ceil(k * 1000 / fps) ms and sees the song at the sample playing then
// (show/offline.h). Every output file appears only when it is complete
// (tools/common/output_file.h); on any failure or interrupt the files are as
// they were before the run.
#include "driver/demo.h"
#include "playback/playback.h"
#include "show/offline.h"
#include "synth/embedded_song.h"
#include "synth/score_file.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "show/timeline.h"
#include "tools/velomira-capture/capture_range.h"
#include "tools/common/numbers.h"
#include "tools/common/output_file.h"
#include "tools/velomira-capture/frame_writer.h"
#include "tools/velomira-capture/png_frame.h"
#include "tools/velomira-capture/scale.h"
#include "tools/velomira-capture/sheet.h"
#include "tools/velomira-capture/video.h"
#include "tools/velomira-capture/wav.h"
#include "tools/velomira-capture/y4m.h"

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* Program = "velomira-capture";

struct Options {
    std::string y4m;
    std::string pngDir;
    std::string wav;
    std::string video;
    std::string sheet;
    int32_t crf = -1;
    std::string preset;
    int32_t scale = 1;
    std::string frames;
    std::string song;   // a score file instead of the embedded score
    double at = -1;
    int32_t fps = OfflineMaxFps;
    bool quiet = false;
};

// Everything written so far, so that a failure can take it all back: the
// music and the stills are placed as soon as they are complete (a player may
// open them while the video is still being written), with the files they
// replaced kept aside until the whole run has succeeded.
struct Outputs {
    OutputFile y4m;
    std::FILE* y4mStream = nullptr;   // the output file, or stdout for "-"
    std::string pngDir;
    bool createdPngDir = false;
    std::vector<OutputFile> pngs;     // placed PNG files of this run
    OutputFile wav;
    OutputFile videoFile;
    VideoWriter video;
    OutputFile sheetFile;
    Y4mTables tables;
    std::unique_ptr<FrameWriter> writer;

    void take_back()
    {
        writer.reset();   // stops the worker before its files go
        video_close(video);
        y4m.discard();
        wav.discard();
        videoFile.discard();
        sheetFile.discard();
        for (OutputFile& png : pngs)
            png.discard();
        std::error_code ignored;
        if (createdPngDir)
            fs::remove(pngDir, ignored);
    }
    void keep()
    {
        y4m.keep();
        videoFile.keep();
        sheetFile.keep();
        wav.keep();
        for (OutputFile& png : pngs)
            png.keep();
    }
};

using Clock = std::chrono::steady_clock;

std::string minutes_text(double seconds)
{
    int32_t whole = int32_t(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
    return text;
}

// A one-line bar on stderr, redrawn at most ten times a second; only when
// stderr is a terminal.
struct Progress {
    bool enabled = false;
    int64_t total = 0;
    Clock::time_point start = Clock::now();
    Clock::time_point shown{};

    void update(int64_t done, bool force = false)
    {
        if (!enabled)
            return;
        Clock::time_point now = Clock::now();
        if (!force && now - shown < std::chrono::milliseconds(100))
            return;
        shown = now;
        double elapsed = std::chrono::duration<double>(now - start).count();
        double rate = elapsed > 0 ? double(done) / elapsed : 0;
        constexpr int Width = 30;
        int filled = total > 0 ? int(Width * done / total) : Width;
        std::string bar(size_t(filled), '#');
        bar.resize(Width, '.');
        std::string left = rate > 0 ? minutes_text(double(total - done) / rate) : "-:--";
        std::fprintf(stderr, "\r%s [%s] %lld/%lld frames  %.0f fps  %s left  ", Program, bar.c_str(),
                     (long long)done, (long long)total, rate, left.c_str());
        std::fflush(stderr);
    }
    void finish()
    {
        if (enabled)
            std::fprintf(stderr, "\r%*s\r", 100, "");
    }
};

int fail(Outputs& outputs, const std::string& message)
{
    outputs.take_back();
    std::fprintf(stderr, "%s: %s\n", Program, message.c_str());
    return 1;
}

std::string png_name(const std::string& dir, int64_t frame)
{
    char name[32];
    std::snprintf(name, sizeof name, "frame-%05lld.png", (long long)frame);
    return (fs::path(dir) / name).string();
}

// Creates the PNG directory if needed and proves it writable before the long
// work starts.
bool prepare_png_dir(Outputs& outputs, const std::string& dir, std::string& error)
{
    outputs.pngDir = dir;
    std::error_code code;
    if (!fs::exists(dir, code)) {
        if (!fs::create_directories(dir, code)) {
            error = "cannot create --png directory " + dir + ": " + code.message();
            return false;
        }
        outputs.createdPngDir = true;
    } else if (!fs::is_directory(dir, code)) {
        error = "--png " + dir + " is not a directory";
        return false;
    }
    OutputFile probe;
    if (!probe.open(png_name(dir, 0), error)) {
        error = "cannot write into --png directory " + dir + ": " + errno_text();
        return false;
    }
    return true;
}

bool write_png(Outputs& outputs, const uint8_t* pixels, int32_t width, int32_t height, int64_t frame,
               std::string& error)
{
    OutputFile file;
    std::string path = png_name(outputs.pngDir, frame);
    if (!file.open(path, error))
        return false;
    if (!png_write_paletted(file.file, pixels, width, height, DemoPalette, error)) {
        error = "cannot write " + path + ": " + error;
        return false;
    }
    if (!file.place(error))
        return false;
    outputs.pngs.push_back(std::move(file));
    return true;
}

std::string summary(const Options& options, const Outputs& outputs, const CaptureRange& range, double seconds)
{
    int64_t count = range.end - range.first;
    char text[256];
    std::snprintf(text, sizeof text, "%lld frame%s (%lld to %lld, %.3f s to %.3f s of the show) at %d fps in %.1f s",
                  (long long)count, count == 1 ? "" : "s", (long long)range.first, (long long)(range.end - 1),
                  offline_frame_ms(range.first, options.fps) / 1000.0,
                  offline_frame_ms(range.end, options.fps) / 1000.0, options.fps, seconds);
    std::string line = std::string(Program) + ": " + text;
    std::vector<std::string> written;
    if (!options.video.empty())
        written.push_back(options.video);
    if (!options.y4m.empty())
        written.push_back(options.y4m == "-" ? "video to stdout" : options.y4m);
    if (!options.pngDir.empty())
        written.push_back(std::to_string(outputs.pngs.size()) + (outputs.pngs.size() == 1 ? " PNG in " : " PNGs in ") +
                          options.pngDir);
    if (!options.wav.empty())
        written.push_back(options.wav);
    if (!options.sheet.empty())
        written.push_back(options.sheet);
    if (written.empty())
        written.push_back("no output");
    for (size_t i = 0; i < written.size(); ++i)
        line += (i == 0 ? ": " : ", ") + written[i];
    return line;
}

int run(const Options& options)
{
    Outputs outputs;
    std::string error;
    int64_t lastFrame = offline_last_frame(options.fps);
    CaptureRange range{0, lastFrame + 1};
    if (!options.frames.empty() && !capture_range_parse(options.frames, lastFrame, range, error))
        return fail(outputs, error);
    if (options.at >= 0 && !capture_range_at(options.at, options.fps, lastFrame, range, error))
        return fail(outputs, error);
    if (options.y4m == "-" && isatty(fileno(stdout)))
        return fail(outputs, "--y4m -: standard output is a terminal; pipe it into a program or give a file name");
    if (!options.video.empty() && !(error = video_check_settings(options.video, options.crf, options.preset)).empty())
        return fail(outputs, "--video " + options.video + ": " + error);
    int32_t width = FrameWidth * options.scale;
    int32_t height = FrameHeight * options.scale;

    // Open every output before the long work, so a bad path fails at once.
    if (!options.y4m.empty()) {
        if (options.y4m == "-") {
            outputs.y4mStream = stdout;
        } else {
            if (!outputs.y4m.open(options.y4m, error))
                return fail(outputs, "--y4m: " + error);
            outputs.y4mStream = outputs.y4m.file;
        }
    }
    if (!options.pngDir.empty() && !prepare_png_dir(outputs, options.pngDir, error))
        return fail(outputs, error);
    if (!options.wav.empty() && !outputs.wav.open(options.wav, error))
        return fail(outputs, "--wav: " + error);
    if (!options.video.empty() && !outputs.videoFile.open(options.video, error))
        return fail(outputs, "--video: " + error);
    if (!options.sheet.empty() && !outputs.sheetFile.open(options.sheet, error))
        return fail(outputs, "--sheet: " + error);

    Progress progress;
    progress.enabled = !options.quiet && isatty(fileno(stderr));
    // The storyboard needs the whole show, whatever the other outputs take.
    int64_t playEnd = options.sheet.empty() ? range.end : lastFrame + 1;
    progress.total = playEnd;
    if (progress.enabled)
        std::fprintf(stderr, "%s: rendering the music...", Program), std::fflush(stderr);
    Clock::time_point start = Clock::now();

    synth_init(44100);
    if (!options.song.empty() && score_load(options.song, error) < 0)
        return fail(outputs, error);
    if (options.song.empty() && song_parse(EmbeddedSong) < 0)
        return fail(outputs, std::string("the built-in song does not parse: ") + song_error());
    demo_prerender(nullptr);
    demo_build_palette();

    // The music of the written frames, for the WAV file and the video.
    int32_t firstSample = std::min(offline_song_position(offline_frame_ms(range.first, options.fps)), SongBufferSamples);
    int32_t endSample = std::min(offline_song_position(offline_frame_ms(range.end, options.fps)), SongBufferSamples);
    // The music first: a player reading the video from a pipe finds the
    // finished WAV beside it when the first frame arrives.
    if (!options.wav.empty()) {
        if (!wav_write_song(outputs.wav.file, firstSample, endSample, error))
            return fail(outputs, "cannot write " + options.wav + ": " + error);
        if (!outputs.wav.place(error))
            return fail(outputs, error);
    }
    if (outputs.y4mStream) {
        y4m_build_tables(outputs.tables, DemoPalette);
        std::fputs(y4m_header(options.fps, width, height).c_str(), outputs.y4mStream);
    }
    if (!options.video.empty()) {
        VideoSettings settings;
        settings.width = width;
        settings.height = height;
        settings.fps = options.fps;
        settings.crf = options.crf;
        settings.preset = options.preset;
        settings.firstSample = firstSample;
        settings.endSample = endSample;
        // A device or a FIFO is written in place; MP4 cannot be, as its
        // index is moved to the front at the end (video_open refuses).
        const OutputFile& file = outputs.videoFile;
        std::string path = file.direct ? file.path : file.tempPath;
        if (!video_open(outputs.video, options.video, path, file.direct, settings, DemoPalette, error))
            return fail(outputs, "--video " + options.video + ": " + error);
    }

    // What the worker does with each written frame.
    bool anyFrames = outputs.y4mStream || !options.pngDir.empty() || !options.video.empty();
    std::vector<uint8_t> scaled(options.scale > 1 ? size_t(width) * size_t(height) : 0);
    std::vector<uint8_t> planes(outputs.y4mStream ? size_t(width) * size_t(height) * 3 / 2 : 0);
    FrameWork work = [&](const uint8_t* frame, int64_t index, std::string& why) {
        const uint8_t* image = frame;
        if (options.scale > 1) {
            scale_nearest(frame, FrameWidth, FrameHeight, options.scale, scaled.data());
            image = scaled.data();
        }
        if (outputs.y4mStream && !y4m_frame(outputs.y4mStream, outputs.tables, image, width, height, planes.data())) {
            why = "cannot write --y4m " + options.y4m + ": " + errno_text();
            return false;
        }
        if (!options.pngDir.empty() && !write_png(outputs, image, width, height, index, why))
            return false;
        if (!options.video.empty() && !video_frame(outputs.video, image, why)) {
            why = "cannot write --video " + options.video + ": " + why;
            return false;
        }
        return true;
    };
    if (anyFrames) {
        outputs.writer = std::make_unique<FrameWriter>();
        frame_writer_start(*outputs.writer, FramePixels, work);
    }

    Sheet sheet;
    std::vector<SheetStill> stills;
    size_t nextStill = 0;
    if (!options.sheet.empty()) {
        stills = sheet_stills(options.fps);
        sheet_start(sheet, int32_t(stills.size()));
    }

    static uint8_t pixels[FramePixels];
    offline_start();
    progress.start = Clock::now();
    for (int64_t frame = 0; frame < playEnd; ++frame) {
        if (output_interrupted())
            return fail(outputs, "interrupted; nothing written");
        offline_play_frame(pixels, frame, options.fps);
        if (anyFrames && frame >= range.first && frame < range.end && !frame_writer_push(*outputs.writer, pixels, frame))
            break;   // the writer's error is reported below
        if (nextStill < stills.size() && stills[nextStill].frame == frame) {
            sheet_place(sheet, int32_t(nextStill), pixels, ShowBar, stills[nextStill].ms);
            ++nextStill;
        }
        progress.update(frame + 1);
    }
    if (anyFrames && !frame_writer_finish(*outputs.writer, error))
        return fail(outputs, error);
    if (output_interrupted())
        return fail(outputs, "interrupted; nothing written");
    progress.update(playEnd, true);
    progress.finish();

    if (!options.video.empty()) {
        if (!video_finish(outputs.video, error))
            return fail(outputs, "cannot write --video " + options.video + ": " + error);
        video_close(outputs.video);
    }
    if (!options.sheet.empty() &&
        !png_write_paletted(outputs.sheetFile.file, sheet.pixels.data(), SheetWidth, sheet.height, DemoPalette, error))
        return fail(outputs, "cannot write --sheet " + options.sheet + ": " + error);
    if (outputs.y4m.file && !outputs.y4m.place(error))
        return fail(outputs, error);
    if (outputs.videoFile.file && !outputs.videoFile.place(error))
        return fail(outputs, error);
    if (outputs.sheetFile.file && !outputs.sheetFile.place(error))
        return fail(outputs, error);
    if (outputs.y4mStream == stdout && std::fflush(stdout) != 0)
        return fail(outputs, "cannot write --y4m to stdout: " + errno_text());
    outputs.keep();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::fprintf(stderr, "%s\n", summary(options, outputs, range, seconds).c_str());
    return 0;
}

// The numbers (decimal, finite) and the output names (not empty, no two the
// same file); "" when all is well, else the message.
std::string check_options(const CLI::App& app, const std::string& atText, const std::string& fpsText,
                          Options& options)
{
    int64_t fps = OfflineMaxFps;
    if (app.count("--fps") && (!parse_decimal(fpsText, fps) || fps < 1 || fps > OfflineMaxFps))
        return "--fps " + fpsText + ": not a whole number from 1 to 75";
    options.fps = int32_t(fps);
    if (app.count("--at")) {
        if (!parse_decimal(atText, options.at))
            return "--at " + atText + ": not a number of seconds";
        if (options.at < 0)
            return "--at " + atText + ": the show time cannot be negative";
    }
    struct Named {
        const char* option;
        std::string path;   // as given
        std::string file;   // "-" is standard output
    };
    std::vector<Named> outputs;
    for (auto [option, path] : {std::pair{"--y4m", &options.y4m}, {"--png", &options.pngDir}, {"--wav", &options.wav}}) {
        if (!app.count(option))
            continue;
        if (path->empty())
            return std::string(option) + ": the name is empty";
        std::string file = *path == "-" ? "/dev/stdout" : *path;
        for (const Named& earlier : outputs)
            if (same_file(earlier.file, file))
                return std::string(option) + " " + *path + ": the same file as " + earlier.option + " " + earlier.path;
        outputs.push_back({option, *path, file});
    }
    return "";
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    CLI::App app{"Plays the Velomira show offline at a fixed frame rate and writes its frames and music.\n"
                 "The same command always gives the same files; no display or sound device is needed.",
                 Program};
    app.footer("Frame k shows the demo at ceil(k * 1000 / fps) ms; the last frame is the one in which the show "
               "ends (frame 8507 at 75 fps, 113.44 s).\n\n"
               "Examples:\n"
               "  velomira-capture --video show.mp4                the whole show as a video with its music\n"
               "  velomira-capture --png stills --at 40            one still, 40 s into the show\n"
               "  velomira-capture --y4m show.y4m --wav show.wav   the whole show and its music\n"
               "  velomira-capture --wav show.wav --y4m - | ffmpeg -i - -i show.wav -c:v libx264 -pix_fmt yuv420p "
               "-c:a aac -shortest show.mp4");
    app.add_option("--y4m", options.y4m, "Write YUV4MPEG2 video (4:2:0, full range) to FILE; - for stdout")
        ->option_text("FILE");
    app.add_option("--video", options.video,
                   "Write a finished video with the music to FILE: .mp4 (H.264, AAC), .mkv (H.264, FLAC) or "
                   ".webm (VP9, Opus)")
        ->option_text("FILE");
    app.add_option("--crf", options.crf,
                   "Video quality, lower is better and bigger (default 18 for H.264, 32 for VP9)")
        ->option_text("N")
        ->check(CLI::Range(0, 63));
    app.add_option("--preset", options.preset,
                   "Encoder speed: an x264 preset (default superfast) or a VP9 deadline (default realtime)")
        ->option_text("NAME");
    app.add_option("--scale", options.scale, "Enlarge every picture output N times, nearest neighbour (1 to 4)")
        ->option_text("N")
        ->check(CLI::Range(1, MaxScale));
    app.add_option("--sheet", options.sheet,
                   "Write a storyboard PNG: a still from each keyframe section of the show, with bar and time")
        ->option_text("FILE.png");
    app.add_option("--png", options.pngDir, "Write one 8-bit paletted PNG per frame, DIR/frame-00000.png ...")
        ->option_text("DIR");
    app.add_option("--wav", options.wav, "Write the music of the captured frames, 44100 Hz 16-bit stereo")
        ->option_text("FILE");
    CLI::Option* frames = app.add_option("--frames", options.frames,
                                         "Write only frames FIRST to END-1 (END may be left out: to the end); "
                                         "earlier frames are still played")
                              ->option_text("FIRST:END");
    std::string atText, fpsText;
    app.add_option("--at", atText, "Write only the frame on screen SECONDS into the show")
        ->option_text("SECONDS")
        ->excludes(frames);
    app.add_option("--fps", fpsText, "Frames per second, 1 to 75 (default 75: every frame one show tick)")
        ->option_text("N");
    app.add_option("--song", options.song,
                   "Play this score file instead of the embedded one (the show keeps the embedded "
                   "score's bars: 125 bpm)")
        ->option_text("FILE");
    app.add_flag("-q,--quiet", options.quiet, "No progress bar");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s (see --help)\n", Program, e.what());
        return 2;
    }
    std::string problem = check_options(app, atText, fpsText, options);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: %s\n", Program, problem.c_str());
        return 2;
    }

    output_signals_install();
    return run(options);
}

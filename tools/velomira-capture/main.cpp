// velomira-capture: plays the demo offline at a fixed frame rate and writes
// the frames (a finished video with the music, YUV4MPEG2 video, paletted
// PNGs, a storyboard) and the music (WAV), without a display or a sound
// device and the same on every run. The frames are converted, encoded and
// written on a second thread while the next one is drawn (frame_writer.h).
//
// The music is rendered exactly as the demo renders it; frame k then has show
// time ceil(k * 1000 / fps) ms and sees the song at the sample playing then
// (show/offline.h). Every output file appears only when it is complete
// (tools/common/output_file.h); on any failure, interrupt or exception the
// files are as they were before the run.
//
// A run, in order: check_options and check_outputs (before anything is
// touched), load_score, plan_run, open_outputs, render_music (the
// pre-render), write_music, start_video, play_frames, finish_outputs, then
// the outputs are kept and the summary printed. The score comes before the
// plan: its tempo and its show lines decide how long the show is, and so
// whether --frames and --at are in it. Exit status (tools/common/
// exit_status.h): 2 for a command line refused by those checks or the plan,
// 1 for a failure of the work after it.
#include "driver/demo.h"
#include "playback/playback.h"
#include "playback/second_core.h"
#include "show/offline.h"
#include "synth/score_file.h"
#include "show/timeline.h"
#include "tools/common/command_line.h"
#include "tools/common/exit_status.h"
#include "tools/common/numbers.h"
#include "tools/common/output_file.h"
#include "tools/common/png_file.h"
#include "tools/common/progress.h"
#include "tools/common/signals.h"
#include "tools/velomira-capture/capture_range.h"
#include "tools/velomira-capture/frame_writer.h"
#include "tools/velomira-capture/scale.h"
#include "tools/velomira-capture/sheet.h"
#include "tools/velomira-capture/video.h"
#include "tools/velomira-capture/wav.h"
#include "tools/velomira-capture/y4m.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* Program = "velomira-capture";
constexpr const char* InterruptedMessage = "interrupted; nothing written";

// The settings of a run; the output names are kept with the outputs.
struct Options {
    int32_t crf = -1;
    std::string preset;
    int32_t scale = 1;
    std::string frames;
    std::string song;   // a score file instead of the embedded score
    double at = -1;
    int32_t fps = OfflineMaxFps;
    bool quiet = false;
};

// The numbers as typed, read by check_options.
struct NumberTexts {
    std::string at, fps, crf, scale;
};

// One output the user can ask for: its option, the name given ("" when not
// asked for) and the file written there. --png writes its frames into
// Outputs::pngs and --y4m - writes to stdout; their `file` stays unused.
struct Output {
    const char* option;
    std::string name;
    OutputFile file;

    explicit Output(const char* optionName) : option(optionName) {}
};

// Everything a run writes, as one list, so that a failure can take it all
// back: the music and the stills are placed as soon as they are complete (a
// player may open them while the video is still being written), with the
// files they replaced kept aside until the whole run has succeeded.
struct Outputs {
    Output video{"--video"};
    Output y4m{"--y4m"};
    Output png{"--png"};
    Output wav{"--wav"};
    Output sheet{"--sheet"};
    std::FILE* y4mStream = nullptr;        // the --y4m file, or stdout for "-"
    std::vector<std::string> madeDirs;     // folders made for --png, outermost first
    std::vector<OutputFile> pngs;          // placed PNG files of this run
    VideoWriter writer;                    // the encoders of --video
    Y4mTables tables;

    // Every output, in the order the summary names them.
    std::array<Output*, 5> all() { return {&video, &y4m, &png, &wav, &sheet}; }

    void take_back()
    {
        video_close(writer);
        for (Output* output : all())
            output->file.discard();
        for (OutputFile& frame : pngs)
            frame.discard();
        pngs.clear();
        // Deepest first; a folder that is not empty (something else was put
        // there meanwhile) is left alone, as fs::remove removes only empty ones.
        std::error_code ignored;
        for (auto dir = madeDirs.rbegin(); dir != madeDirs.rend(); ++dir)
            fs::remove(*dir, ignored);
        madeDirs.clear();
    }
    void keep()
    {
        for (Output* output : all())
            output->file.keep();
        for (OutputFile& frame : pngs)
            frame.keep();
    }
};

// What a run plays and writes, worked out from the options before any work.
struct Plan {
    CaptureRange range;              // the frames written
    int64_t playEnd = 0;             // frames played: from 0 to the range's end, or the whole show for --sheet
    int32_t width = FrameWidth;      // the written pictures, after --scale
    int32_t height = FrameHeight;
    int32_t firstSample = 0;         // the music of the written frames: SongBuffer[firstSample, endSample)
    int32_t endSample = 0;
};

using Clock = std::chrono::steady_clock;

// Takes back what the run wrote, says why in one line; the exit status.
int fail(Outputs& outputs, const std::string& message, int status = ExitFailure)
{
    outputs.take_back();
    std::fprintf(stderr, "%s: %s\n", Program, message.c_str());
    return status;
}

std::string png_name(const std::string& dir, int64_t frame)
{
    char name[32];
    std::snprintf(name, sizeof name, "frame-%05lld.png", (long long)frame);
    return (fs::path(dir) / name).string();
}

// True when file is one of the frames --png writes into dir (frame-NNNNN.png
// there; the show has fewer than 100000 frames).
bool is_png_frame(const std::string& dir, const std::string& file)
{
    fs::path path(file);
    std::string leaf = path.filename().string();
    bool frameName = leaf.size() == 15 && leaf.rfind("frame-", 0) == 0 && leaf.compare(11, 4, ".png") == 0 &&
                     std::all_of(leaf.begin() + 6, leaf.begin() + 11, [](unsigned char c) { return std::isdigit(c); });
    return frameName && same_file(dir, path.has_parent_path() ? path.parent_path().string() : ".");
}

// Creates the PNG folder and any missing folders above it, remembering each
// one made so that a failure removes them again, then proves it writable
// before the long work starts.
bool prepare_png_dir(Outputs& outputs, std::string& error)
{
    const std::string& dir = outputs.png.name;
    std::error_code code;
    std::vector<fs::path> missing;   // innermost first
    for (fs::path at = dir; !at.empty() && at != at.parent_path() && !fs::exists(at, code); at = at.parent_path())
        missing.push_back(at);
    for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
        // false without an error: the level was there already ("a/b/" is "a/b").
        if (fs::create_directory(*at, code)) {
            outputs.madeDirs.push_back(at->string());
        } else if (code) {
            error = "cannot create --png directory " + dir + ": " + code.message();
            return false;
        }
    }
    if (!fs::is_directory(dir, code)) {
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
    std::string path = png_name(outputs.png.name, frame);
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

// What can be told about the outputs before opening them: a terminal is no
// place for video, and the video's settings must suit its container.
bool check_outputs(const Options& options, const Outputs& outputs, std::string& error)
{
    if (outputs.y4m.name == "-" && isatty(fileno(stdout))) {
        error = "--y4m -: standard output is a terminal; pipe it into a program or give a file name";
        return false;
    }
    const std::string& video = outputs.video.name;
    if (!video.empty() && !(error = video_check_settings(video, options.crf, options.preset)).empty()) {
        error = "--video " + video + ": " + error;
        return false;
    }
    return true;
}

// The score, loaded as the demo loads it: the music, its tempo and the show
// lines (the embedded score without --song).
bool load_score(const Options& options, std::string& error)
{
    return demo_load_song(options.song, error) >= 0;
}

// The frames and the music to write, once the score has set the show's
// length.
bool plan_run(const Options& options, const Outputs& outputs, Plan& plan, std::string& error)
{
    int64_t lastFrame = offline_last_frame(options.fps);
    plan.range = {0, lastFrame + 1};
    if (!options.frames.empty() && !capture_range_parse(options.frames, lastFrame, plan.range, error))
        return false;
    if (options.at >= 0 && !capture_range_at(options.at, options.fps, lastFrame, plan.range, error))
        return false;
    // The storyboard needs the whole show, whatever the other outputs take.
    plan.playEnd = outputs.sheet.name.empty() ? plan.range.end : lastFrame + 1;
    plan.width = FrameWidth * options.scale;
    plan.height = FrameHeight * options.scale;
    plan.firstSample =
        std::min(offline_song_position(offline_frame_ms(plan.range.first, options.fps)), SongBufferSamples);
    plan.endSample = std::min(offline_song_position(offline_frame_ms(plan.range.end, options.fps)), SongBufferSamples);
    return true;
}

// Opens every output before the long work, so a bad path fails at once.
bool open_outputs(Outputs& outputs, std::string& error)
{
    for (Output* output : outputs.all()) {
        if (output->name.empty())
            continue;
        if (output == &outputs.png) {
            if (!prepare_png_dir(outputs, error))
                return false;
        } else if (output == &outputs.y4m && output->name == "-") {
            outputs.y4mStream = stdout;
        } else if (!output->file.open(output->name, error)) {
            error = std::string(output->option) + ": " + error;
            return false;
        }
    }
    if (outputs.y4m.file.file)
        outputs.y4mStream = outputs.y4m.file.file;
    return true;
}

// The pre-render: the music exactly as the demo renders it, and the palette.
bool render_music()
{
    demo_prepare_show(nullptr);
    return true;
}

// The music of the written frames, placed at once: a player reading the
// video from a pipe finds the finished WAV beside it when the first frame
// arrives.
bool write_music(Outputs& outputs, const Plan& plan, std::string& error)
{
    Output& wav = outputs.wav;
    if (wav.name.empty())
        return true;
    if (!wav_write_song(wav.file.file, plan.firstSample, plan.endSample, error)) {
        error = "cannot write " + wav.name + ": " + error;
        return false;
    }
    return wav.file.place(error);
}

// The Y4M header and the video encoders, before the first frame.
bool start_video(const Options& options, Outputs& outputs, const Plan& plan, std::string& error)
{
    if (outputs.y4mStream) {
        y4m_build_tables(outputs.tables, DemoPalette);
        y4m_prepare_stream(outputs.y4mStream);
        std::fputs(y4m_header(options.fps, plan.width, plan.height).c_str(), outputs.y4mStream);
    }
    const Output& video = outputs.video;
    if (video.name.empty())
        return true;
    VideoSettings settings;
    settings.width = plan.width;
    settings.height = plan.height;
    settings.fps = options.fps;
    settings.crf = options.crf;
    settings.preset = options.preset;
    settings.firstSample = plan.firstSample;
    settings.endSample = plan.endSample;
    // A device or a FIFO is written in place; MP4 cannot be, as its index is
    // moved to the front at the end (video_open refuses).
    std::string path = video.file.direct ? video.file.path : video.file.tempPath;
    if (!video_open(outputs.writer, video.name, path, video.file.direct, settings, DemoPalette, error)) {
        error = "--video " + video.name + ": " + error;
        return false;
    }
    return true;
}

// What the writing thread does with each written frame: scaled, then
// written to every frame output. Runs on the worker only.
struct FrameSink {
    const Options& options;
    Outputs& outputs;
    int32_t width = 0, height = 0;   // after --scale
    std::vector<uint8_t> scaled;     // the scaled picture, with --scale
    std::vector<uint8_t> planes;     // a Y4M frame as written, with --y4m

    FrameSink(const Options& runOptions, Outputs& runOutputs, const Plan& plan)
        : options(runOptions), outputs(runOutputs), width(plan.width), height(plan.height),
          scaled(options.scale > 1 ? size_t(width) * size_t(height) : 0),
          planes(outputs.y4mStream ? y4m_frame_bytes(width, height) : 0)
    {
    }

    bool write(const uint8_t* frame, int64_t index, std::string& why)
    {
        const uint8_t* image = frame;
        if (options.scale > 1) {
            scale_nearest(frame, FrameWidth, FrameHeight, options.scale, scaled.data());
            image = scaled.data();
        }
        if (outputs.y4mStream && !y4m_frame(outputs.y4mStream, outputs.tables, image, width, height, planes.data())) {
            why = "cannot write --y4m " + outputs.y4m.name + ": " + errno_text();
            return false;
        }
        if (!outputs.png.name.empty() && !write_png(outputs, image, width, height, index, why))
            return false;
        if (!outputs.video.name.empty() && !video_frame(outputs.writer, image, why)) {
            why = "cannot write --video " + outputs.video.name + ": " + why;
            return false;
        }
        return true;
    }
};

// Plays the show from its first frame to plan.playEnd: the frames of the
// range go to the writing thread, the storyboard's stills into sheet.
bool play_frames(const Options& options, Outputs& outputs, const Plan& plan, Sheet& sheet, Progress& progress,
                 std::string& error)
{
    const bool anyFrames = outputs.y4mStream || !outputs.png.name.empty() || !outputs.video.name.empty();
    // The sink is declared before the writer, which is destroyed first and
    // so stops the worker before the sink's buffers go, however this
    // function is left.
    FrameSink sink(options, outputs, plan);
    FrameWriter writer;
    if (anyFrames) {
        frame_writer_start(writer, FramePixels, [&sink](const uint8_t* frame, int64_t index, std::string& why) {
            return sink.write(frame, index, why);
        });
        // The writer (and whatever reads the output) takes the other core's
        // time between the frames' bottom parts.
        second_core_keep_awake(false);
    }

    std::vector<SheetStill> stills;
    size_t nextStill = 0;
    if (!outputs.sheet.name.empty()) {
        stills = sheet_stills(options.fps);
        sheet_start(sheet, int32_t(stills.size()),
                    sheet_title(options.song.empty() ? "the demo" : score_name(options.song), options.fps));
    }

    static uint8_t pixels[FramePixels];
    offline_start();
    progress_start(progress, !options.quiet, Program, "frames", "fps", plan.playEnd);
    for (int64_t frame = 0; frame < plan.playEnd; ++frame) {
        if (signals_ending()) {
            error = InterruptedMessage;
            return false;
        }
        offline_play_frame(pixels, frame, options.fps);
        bool written = frame >= plan.range.first && frame < plan.range.end;
        if (anyFrames && written && !frame_writer_push(writer, pixels, frame))
            break;   // the writer's error is reported below
        if (nextStill < stills.size() && stills[nextStill].frame == frame) {
            sheet_place(sheet, int32_t(nextStill), pixels, ShowBar, stills[nextStill].ms);
            ++nextStill;
        }
        progress_update(progress, frame + 1);
    }
    if (anyFrames && !frame_writer_finish(writer, error))
        return false;
    if (signals_ending()) {
        error = InterruptedMessage;
        return false;
    }
    return true;
}

// The end of the video, the storyboard, then every file still open put in
// place.
bool finish_outputs(Outputs& outputs, const Sheet& sheet, std::string& error)
{
    const std::string& video = outputs.video.name;
    if (!video.empty()) {
        if (!video_finish(outputs.writer, error)) {
            error = "cannot write --video " + video + ": " + error;
            return false;
        }
        video_close(outputs.writer);
    }
    Output& board = outputs.sheet;
    if (!board.name.empty() &&
        !png_write_paletted(board.file.file, sheet.pixels.data(), SheetWidth, sheet.height, DemoPalette, error)) {
        error = "cannot write --sheet " + board.name + ": " + error;
        return false;
    }
    for (Output* output : outputs.all())
        if (output->file.file && !output->file.place(error))
            return false;
    if (outputs.y4mStream == stdout && std::fflush(stdout) != 0) {
        error = "cannot write --y4m to stdout: " + errno_text();
        return false;
    }
    return true;
}

std::string summary(const Options& options, Outputs& outputs, const CaptureRange& range, double seconds)
{
    int64_t count = range.end - range.first;
    char text[256];
    std::snprintf(text, sizeof text, "%lld frame%s (%lld to %lld, %.3f s to %.3f s of the show) at %d fps in %.1f s",
                  (long long)count, count == 1 ? "" : "s", (long long)range.first, (long long)(range.end - 1),
                  offline_frame_ms(range.first, options.fps) / 1000.0,
                  offline_frame_ms(range.end, options.fps) / 1000.0, options.fps, seconds);
    std::string line = std::string(Program) + ": " + text;
    std::vector<std::string> written;
    for (const Output* output : outputs.all()) {
        if (output->name.empty())
            continue;
        if (output == &outputs.y4m && output->name == "-")
            written.push_back("video to stdout");
        else if (output == &outputs.png)
            written.push_back(std::to_string(outputs.pngs.size()) +
                              (outputs.pngs.size() == 1 ? " PNG in " : " PNGs in ") + output->name);
        else
            written.push_back(output->name);
    }
    if (written.empty())
        written.push_back("no output");
    for (size_t i = 0; i < written.size(); ++i)
        line += (i == 0 ? ": " : ", ") + written[i];
    return line;
}

// The work after the score: the outputs opened, the music and the frames
// written, everything put in place; false with error set when it fails.
bool write_outputs(const Options& options, Outputs& outputs, const Plan& plan, Progress& progress,
                   std::string& error)
{
    Sheet sheet;
    return open_outputs(outputs, error) && render_music() && write_music(outputs, plan, error) &&
           start_video(options, outputs, plan, error) && play_frames(options, outputs, plan, sheet, progress, error) &&
           finish_outputs(outputs, sheet, error);
}

// The whole run after the command line is checked; the exit status. On a
// failure the outputs are taken back.
int run(const Options& options, Outputs& outputs)
{
    Progress progress;
    progress_start(progress, !options.quiet, Program, "frames", "fps", 0);
    progress_note(progress, std::string(Program) + ": rendering the music...");
    const Clock::time_point start = Clock::now();
    std::string error;
    Plan plan;
    int status = ExitFailure;
    bool done = load_score(options, error);
    if (done) {
        status = ExitUsage;   // an option the score's show cannot meet
        done = plan_run(options, outputs, plan, error);
    }
    if (done) {
        status = ExitFailure;
        done = write_outputs(options, outputs, plan, progress, error);
    }
    progress_finish(progress);   // the message or the summary gets a line of its own
    if (!done)
        return fail(outputs, error, status);
    outputs.keep();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::fprintf(stderr, "%s\n", summary(options, outputs, plan.range, seconds).c_str());
    return 0;
}

// Reads a whole number from min to max given to option; "" when it is one.
std::string read_whole(const char* option, const std::string& text, int64_t min, int64_t max, int32_t& value)
{
    int64_t read = 0;
    if (!parse_decimal(text, read) || read < min || read > max)
        return std::string(option) + " " + text + ": not a whole number from " + std::to_string(min) + " to " +
               std::to_string(max);
    value = int32_t(read);
    return "";
}

// The numbers: decimal, finite, in range.
std::string check_numbers(const CLI::App& app, const NumberTexts& texts, Options& options)
{
    std::string problem;
    if (app.count("--fps") && !(problem = read_whole("--fps", texts.fps, 1, OfflineMaxFps, options.fps)).empty())
        return problem;
    if (app.count("--at")) {
        if (!parse_decimal(texts.at, options.at))
            return "--at " + texts.at + ": not a number of seconds";
        if (options.at < 0)
            return "--at " + texts.at + ": the show time cannot be negative";
    }
    if (app.count("--crf") && !(problem = read_whole("--crf", texts.crf, 0, 63, options.crf)).empty())
        return problem;
    if (app.count("--scale") && !(problem = read_whole("--scale", texts.scale, 1, MaxScale, options.scale)).empty())
        return problem;
    return "";
}

bool ends_in_png(const std::string& name)
{
    std::string tail = name.size() >= 4 ? name.substr(name.size() - 4) : "";
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return tail == ".png";
}

// The names: none empty, the storyboard's a PNG name, and no output the same
// file as the score or as another output, through any link.
std::string check_names(const CLI::App& app, const Options& options, Outputs& outputs)
{
    struct Named {
        std::string option;
        std::string name;   // as given
        std::string file;   // "-" is standard output
        bool folder;        // --png: its frames are files in it
    };
    std::vector<Named> named;
    if (app.count("--song")) {
        if (options.song.empty())
            return "--song: the name is empty";
        if (options.song != EmbeddedScorePath)
            named.push_back({"--song", options.song, options.song, false});
    }
    for (Output* output : outputs.all()) {
        if (!app.count(output->option))
            continue;
        const std::string& name = output->name;
        if (name.empty())
            return std::string(output->option) + ": the name is empty";
        // A device or a pipe has no name to keep honest.
        if (output == &outputs.sheet && !ends_in_png(name) && !output_in_place(name))
            return "--sheet " + name + ": the storyboard is a PNG image; end the name in .png";
        Named current{output->option, name, output == &outputs.y4m && name == "-" ? "/dev/stdout" : name,
                      output == &outputs.png};
        for (const Named& earlier : named) {
            if (same_file(earlier.file, current.file))
                return current.option + " " + name + ": the same file as " + earlier.option + " " + earlier.name;
            const Named* folder = earlier.folder ? &earlier : current.folder ? &current : nullptr;
            const Named& file = folder == &earlier ? current : earlier;
            if (folder && is_png_frame(folder->file, file.file))
                return file.option + " " + file.name + ": the same file as a frame of " + folder->option + " " +
                       folder->name;
        }
        named.push_back(current);
    }
    return "";
}

// The settings that only some outputs use, refused when none of them is
// asked for rather than silently ignored.
std::string check_settings_used(const CLI::App& app, const NumberTexts& texts, const Options& options,
                                const Outputs& outputs)
{
    if (outputs.video.name.empty()) {
        if (app.count("--crf"))
            return "--crf " + texts.crf + ": only --video uses it, and no --video is given";
        if (app.count("--preset"))
            return "--preset " + options.preset + ": only --video uses it, and no --video is given";
    }
    if (app.count("--scale") && outputs.png.name.empty() && outputs.y4m.name.empty() && outputs.video.name.empty())
        return "--scale " + texts.scale + ": only --png, --y4m and --video use it, and none of them is given";
    return "";
}

// Everything the options can be checked for before any work; "" when all is
// well, else the message.
std::string check_options(const CLI::App& app, const NumberTexts& texts, Options& options, Outputs& outputs)
{
    std::string problem = check_numbers(app, texts, options);
    if (problem.empty())
        problem = check_names(app, options, outputs);
    if (problem.empty())
        problem = check_settings_used(app, texts, options, outputs);
    return problem;
}

// The command line: the outputs' names go to outputs, the numbers to texts
// (read by check_options), the rest to options.
void describe_options(CLI::App& app, Options& options, NumberTexts& texts, Outputs& outputs)
{
    app.footer("Frame k shows the demo at ceil(k * 1000 / fps) ms; the last frame is the one in which the show "
               "ends (with the embedded score frame 8507 at 75 fps, 113.44 s).\n\n"
               "Examples:\n"
               "  velomira-capture --video show.mp4                the whole show as a video with its music\n"
               "  velomira-capture --png stills --at 40            one still, 40 s into the show\n"
               "  velomira-capture --y4m show.y4m --wav show.wav   the whole show and its music\n"
               "  velomira-capture --wav show.wav --y4m - | ffmpeg -i - -i show.wav -c:v libx264 -pix_fmt yuv420p "
               "-c:a aac -shortest show.mp4");
    app.add_option(outputs.y4m.option, outputs.y4m.name,
                   "Write YUV4MPEG2 video (4:2:0, full range) to FILE; - for stdout")
        ->option_text("FILE");
    app.add_option(outputs.video.option, outputs.video.name,
                   "Write a finished video with the music to FILE: .mp4 (H.264, AAC), .mkv (H.264, FLAC) or "
                   ".webm (VP9, Opus)")
        ->option_text("FILE");
    app.add_option("--crf", texts.crf,
                   "Video quality, lower is better and bigger (default 18 for H.264, 32 for VP9)")
        ->option_text("N");
    app.add_option("--preset", options.preset,
                   "Encoder speed: an x264 preset (default superfast) or a VP9 deadline (default realtime)")
        ->option_text("NAME");
    app.add_option("--scale", texts.scale, "Enlarge every picture output N times, nearest neighbour (1 to 4)")
        ->option_text("N");
    app.add_option(outputs.sheet.option, outputs.sheet.name,
                   "Write a storyboard PNG: a still from each keyframe section of the show, with bar and time")
        ->option_text("FILE.png");
    app.add_option(outputs.png.option, outputs.png.name,
                   "Write one 8-bit paletted PNG per frame, DIR/frame-00000.png ...")
        ->option_text("DIR");
    app.add_option(outputs.wav.option, outputs.wav.name,
                   "Write the music of the captured frames, 44100 Hz 16-bit stereo")
        ->option_text("FILE");
    CLI::Option* frames = app.add_option("--frames", options.frames,
                                         "Write only frames FIRST to END-1 (END may be left out: to the end); "
                                         "earlier frames are still played")
                              ->option_text("FIRST:END");
    app.add_option("--at", texts.at, "Write only the frame on screen SECONDS into the show")
        ->option_text("SECONDS")
        ->excludes(frames);
    app.add_option("--fps", texts.fps, "Frames per second, 1 to 75 (default 75: every frame one show tick)")
        ->option_text("N");
    app.add_option("--song", options.song,
                   "Play this score file instead of the embedded one (- is the embedded one); the show "
                   "follows its tempo, and its show lines if it has any")
        ->option_text("FILE");
    app.add_flag("-q,--quiet", options.quiet, "No progress bar");
}

// The command line, its checks and the run; the exit status.
int capture(int argc, char** argv, Outputs& outputs)
{
    Options options;
    NumberTexts texts;
    CLI::App app{"Plays the Velomira show offline at a fixed frame rate and writes its frames and music.\n"
                 "The same command always gives the same files; no display or sound device is needed.",
                 Program};
    describe_options(app, options, texts, outputs);
    if (const std::optional<int> status = command_line_parse(app, argc, argv, Program))
        return *status;
    std::string problem = check_options(app, texts, options, outputs);
    if (problem.empty())
        check_outputs(options, outputs, problem);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: %s\n", Program, problem.c_str());
        return ExitUsage;
    }
    signals_catch_for_writing();
    return run(options, outputs);
}

} // namespace

int main(int argc, char** argv)
{
    // Whatever is thrown (out of memory, a thread that cannot start) ends the
    // run as any failure does: one line, and the outputs taken back.
    Outputs outputs;
    try {
        return capture(argc, argv, outputs);
    } catch (const std::bad_alloc&) {
        return fail(outputs, "out of memory");
    } catch (const std::exception& e) {
        return fail(outputs, e.what());
    }
}

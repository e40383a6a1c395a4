// velomira-song: render, check, print, play and look at scores in the demo's
// song format. The command line is read here; the work of each command is
// song_tool.h (render, check, print), play.h and look.h. Every command ends
// by the tools' one rule for exit statuses (tools/common/exit_status.h).
#include "look.h"
#include "play.h"
#include "song_tool.h"
#include "tools/common/command_line.h"
#include "tools/common/exit_status.h"
#include "tools/common/numbers.h"
#include "tools/common/signals.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <optional>

namespace {

constexpr const char* Program = "velomira-song";

// The command line as given; each command reads the texts it takes.
struct Arguments {
    std::string song, out, picture;
    std::string samples, seconds;   // render's length, read by run_render
    bool withShow = false;
    PlayArguments play;
    std::string from, loop, solo, mute, bars;
};

struct Commands {
    CLI::App* render = nullptr;
    CLI::App* check = nullptr;
    CLI::App* play = nullptr;
    CLI::App* look = nullptr;
};

void describe_render(CLI::App& app, Arguments& arguments, Commands& commands)
{
    CLI::App* render = app.add_subcommand("render", "render a score to a WAV file (FLAC when OUT ends in .flac)");
    render->add_option("SONG", arguments.song, "score file, or - for the embedded score")->required();
    render->add_option("OUT", arguments.out, "output file")->required();
    CLI::Option* samples = render->add_option("--samples", arguments.samples,
                                              "length in samples (default: what the demo renders, 5172224)");
    render->add_option("--seconds", arguments.seconds, "length in seconds")->excludes(samples);
    render->add_option("--solo", arguments.solo, "only these tracks: a stem")->option_text("T,...");
    render->add_option("--mute", arguments.mute, "without these tracks")->option_text("T,...");
    commands.render = render;
}

void describe_play(CLI::App& app, Arguments& arguments, Commands& commands)
{
    CLI::App* play = app.add_subcommand(
        "play", "play a score through the sound device; in a terminal: a status line and the keys "
                "space (pause), left/right (one bar back/forward), q (quit). Bars are the show's: four "
                "beats of the score's tempo, bar 1 from beat 4.3");
    play->add_option("SONG", arguments.play.song, "score file, or - for the embedded score")->required();
    play->add_option("--from", arguments.from, "start at this bar")->option_text("BAR");
    play->add_option("--loop", arguments.loop, "repeat bars A to B-1")->option_text("A:B");
    play->add_option("--solo", arguments.solo, "hear only these tracks")->option_text("T,...");
    play->add_option("--mute", arguments.mute, "do not hear these tracks")->option_text("T,...");
    play->add_flag("--watch", arguments.play.watch,
                   "re-render on every save of SONG and continue in the same bar; a bad save keeps "
                   "the last good version playing and shows the checker's message");
    commands.play = play;
}

Commands describe_commands(CLI::App& app, Arguments& arguments)
{
    Commands commands;
    app.require_subcommand(1);
    describe_render(app, arguments, commands);
    commands.check = app.add_subcommand("check", "report everything the format would drop, and every error");
    commands.check->add_option("SONG", arguments.song, "score file, or - for the embedded score")->required();
    app.add_subcommand("print", "write the embedded score to standard output")
        ->add_flag("--show", arguments.withShow, "with the demo's show as show lines, to start from the whole demo");
    describe_play(app, arguments, commands);
    commands.look = app.add_subcommand("look", "draw a score as a PNG: a lane per track, bars, the show's "
                                               "keyframe bars, clipping in red, and a spectrogram of the mix");
    commands.look->add_option("SONG", arguments.song, "score file, or - for the embedded score")->required();
    commands.look->add_option("OUT", arguments.picture, "PNG file to write")->required();
    commands.look->add_option("--bars", arguments.bars, "only bars A to B-1")->option_text("A:B");
    return commands;
}

int run_render(const CLI::App& render, const Arguments& arguments)
{
    // Decimal and finite, refused in words; the range is checked by the render.
    int64_t samples = DefaultRenderSamples;
    double seconds = 0;
    if (render.count("--samples") && !parse_decimal(arguments.samples, samples)) {
        std::cerr << "--samples " << arguments.samples << ": not a whole number of samples\n";
        return ExitUsage;
    }
    if (render.count("--seconds")) {
        if (!parse_decimal(arguments.seconds, seconds) || seconds <= 0 || seconds > 3600) {
            std::cerr << "--seconds " << arguments.seconds
                      << ": give a length in seconds, more than 0 and at most 3600\n";
            return ExitUsage;
        }
        samples = std::max<int64_t>(1, std::llround(seconds * 44100.0));
    }
    TrackChoice tracks;
    std::string message;
    if (take_read_choice(render.count("--solo") ? &arguments.solo : nullptr,
                         render.count("--mute") ? &arguments.mute : nullptr, tracks, message) < 0) {
        std::cerr << Program << ": " << message << "\n";
        return ExitUsage;
    }
    signals_catch_for_writing();
    return song_tool_render(arguments.song, arguments.out, samples, isatty(2) != 0, std::cerr, tracks);
}

int run_play(const CLI::App& command, Arguments& arguments)
{
    // Read as texts, so that every number goes through one reader.
    auto given = [&](const char* name, const std::string& text) {
        return command.count(name) ? std::optional<std::string>(text) : std::nullopt;
    };
    arguments.play.from = given("--from", arguments.from);
    arguments.play.loop = given("--loop", arguments.loop);
    arguments.play.solo = given("--solo", arguments.solo);
    arguments.play.mute = given("--mute", arguments.mute);
    PlayOptions options;
    std::string message;
    if (play_read_options(arguments.play, options, message) < 0) {
        std::cerr << Program << ": " << message << "\n";
        return ExitUsage;
    }
    return song_tool_play(options);
}

int run(int argc, char** argv)
{
    CLI::App app{"Render, check and print Velomira scores.\n\n"
                 "Examples:\n"
                 "  velomira-song print > mysong.txt          start from the demo's score\n"
                 "  velomira-song print --show > mydemo.txt   ... and its show, to make a whole demo\n"
                 "  velomira-song check mysong.txt            list problems with line numbers\n"
                 "  velomira-song render mysong.txt out.wav   hear it (44100 Hz mono 16-bit)\n"
                 "  velomira-song render - demo.flac --seconds 30\n"
                 "  velomira-song play mysong.txt --watch     hear it, and again on every save\n"
                 "  velomira-song look mysong.txt mysong.png  see it\n",
                 Program};
    Arguments arguments;
    const Commands commands = describe_commands(app, arguments);
    if (const std::optional<int> status = command_line_parse(app, argc, argv, Program))
        return *status;
    if (*commands.render)
        return run_render(*commands.render, arguments);
    if (*commands.check)
        return song_tool_check(arguments.song, std::cout);
    if (*commands.play)
        return run_play(*commands.play, arguments);
    if (*commands.look)
        return song_tool_look(arguments.song, arguments.picture,
                              commands.look->count("--bars") ? std::optional(arguments.bars) : std::nullopt);
    return song_tool_print(std::cout, arguments.withShow);
}

}   // namespace

// Every failure ends in one message and a status, never in an abort: memory
// runs out on a score or a length asking for more than the machine has.
int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("velomira-song: out of memory (the score or the length asks for more than this machine gives)\n",
                   stderr);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "velomira-song: %s\n", error.what());
    }
    return ExitFailure;
}

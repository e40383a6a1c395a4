// velomira-song: render, check and print scores in the demo's song format.
#include "look.h"
#include "play.h"
#include "song_tool.h"
#include "tools/common/numbers.h"
#include "tools/common/output_file.h"

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
                 "velomira-song"};
    app.require_subcommand(1);

    std::string song, out;
    std::string samplesText, secondsText;
    CLI::App* render = app.add_subcommand("render", "render a score to a WAV file (FLAC when OUT ends in .flac)");
    render->add_option("SONG", song, "score file, or - for the embedded score")->required();
    render->add_option("OUT", out, "output file")->required();
    auto* samplesOption = render->add_option("--samples", samplesText, "length in samples (default: what the demo renders, 5172224)");
    render->add_option("--seconds", secondsText, "length in seconds")->excludes(samplesOption);

    CLI::App* check = app.add_subcommand("check", "report everything the format would drop, and every error");
    check->add_option("SONG", song, "score file, or - for the embedded score")->required();

    bool withShow = false;
    app.add_subcommand("print", "write the embedded score to standard output")
        ->add_flag("--show", withShow, "with the demo's show as show lines, to start from the whole demo");

    PlayArguments play;
    std::string from, loop, solo, mute;
    CLI::App* playCommand = app.add_subcommand(
        "play", "play a score through the sound device; in a terminal: a status line and the keys "
                "space (pause), left/right (one bar back/forward), q (quit). Bars are the show's: four "
                "beats of the score's tempo, bar 1 from beat 4.3");
    playCommand->add_option("SONG", play.song, "score file, or - for the embedded score")->required();
    playCommand->add_option("--from", from, "start at this bar")->option_text("BAR");
    playCommand->add_option("--loop", loop, "repeat bars A to B-1")->option_text("A:B");
    playCommand->add_option("--solo", solo, "hear only these tracks")->option_text("T,...");
    playCommand->add_option("--mute", mute, "do not hear these tracks")->option_text("T,...");
    playCommand->add_flag("--watch", play.watch,
                          "re-render on every save of SONG and continue in the same bar; a bad save keeps "
                          "the last good version playing and shows the checker's message");

    std::string picture;
    CLI::App* look = app.add_subcommand("look", "draw a score as a PNG: a lane per track, bars, the show's "
                                                "keyframe bars, clipping in red, and a spectrogram of the mix");
    look->add_option("SONG", song, "score file, or - for the embedded score")->required();
    look->add_option("OUT", picture, "PNG file to write")->required();

    CLI11_PARSE(app, argc, argv);

    if (*render) {
        // Decimal and finite, refused in words; the range is checked by the render.
        int64_t samples = DefaultRenderSamples;
        double seconds = 0;
        if (render->count("--samples") && !parse_decimal(samplesText, samples)) {
            std::cerr << "--samples " << samplesText << ": not a whole number of samples\n";
            return 1;
        }
        if (render->count("--seconds")) {
            if (!parse_decimal(secondsText, seconds) || seconds <= 0 || seconds > 3600) {
                std::cerr << "--seconds " << secondsText << ": give a length in seconds, more than 0 and at most 3600\n";
                return 1;
            }
            samples = std::max<int64_t>(1, std::llround(seconds * 44100.0));
        }
        output_signals_install();
        return song_tool_render(song, out, samples, isatty(2) != 0, std::cerr);
    }
    if (*check)
        return song_tool_check(song, std::cout);
    if (*playCommand) {
        // Read as texts, so that every number goes through one reader.
        auto given = [&](const char* name, const std::string& text) {
            return playCommand->count(name) ? std::optional<std::string>(text) : std::nullopt;
        };
        play.from = given("--from", from);
        play.loop = given("--loop", loop);
        play.solo = given("--solo", solo);
        play.mute = given("--mute", mute);
        PlayOptions options;
        std::string message;
        if (play_read_options(play, options, message) < 0) {
            std::cerr << "velomira-song: " << message << "\n";
            return 2;
        }
        return song_tool_play(options);
    }
    if (*look)
        return song_tool_look(song, picture);
    return song_tool_print(std::cout, withShow);
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
    return 1;
}

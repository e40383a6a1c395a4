// velomira-song: render, check and print scores in the demo's song format.
#include "song_tool.h"
#include "tools/common/output_file.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cmath>
#include <iostream>

int main(int argc, char** argv)
{
    CLI::App app{"Render, check and print Velomira scores.\n\n"
                 "Examples:\n"
                 "  velomira-song print > mysong.txt          start from the demo's score\n"
                 "  velomira-song check mysong.txt            list problems with line numbers\n"
                 "  velomira-song render mysong.txt out.wav   hear it (44100 Hz mono 16-bit)\n"
                 "  velomira-song render - demo.flac --seconds 30\n",
                 "velomira-song"};
    app.require_subcommand(1);

    std::string song, out;
    int64_t samples = DefaultRenderSamples;
    double seconds = 0;
    CLI::App* render = app.add_subcommand("render", "render a score to a WAV file (FLAC when OUT ends in .flac)");
    render->add_option("SONG", song, "score file, or - for the embedded score")->required();
    render->add_option("OUT", out, "output file")->required();
    auto* samplesOption = render->add_option("--samples", samples, "length in samples (default: what the demo renders, 5172224)");
    render->add_option("--seconds", seconds, "length in seconds")->excludes(samplesOption)->check(CLI::PositiveNumber);

    CLI::App* check = app.add_subcommand("check", "report everything the format would drop, and every error");
    check->add_option("SONG", song, "score file, or - for the embedded score")->required();

    app.add_subcommand("print", "write the embedded score to standard output");

    CLI11_PARSE(app, argc, argv);

    if (*render) {
        output_signals_install();
        if (seconds > 0)
            samples = std::llround(seconds * 44100.0);
        return song_tool_render(song, out, samples, isatty(2) != 0, std::cerr);
    }
    if (*check)
        return song_tool_check(song, std::cout);
    return song_tool_print(std::cout);
}

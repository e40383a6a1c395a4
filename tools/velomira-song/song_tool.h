// velomira-song's work, apart from its command line: loading a score (a file
// or the embedded one), rendering it to a WAV or FLAC file, and the checker's
// report. Each function writes its messages to the given stream and returns
// the process exit status (tools/common/exit_status.h): 2 for a length or an
// output name refused before any work, 1 for a score that cannot be read or
// is rejected, a write error or an interrupt.
#pragma once

#include "playback/playback.h"
#include "take.h"

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <string>

// What the demo pre-renders: 5051 blocks of 1024 samples.
inline constexpr int64_t DefaultRenderSamples = int64_t(5051) * 1024;
inline constexpr int64_t MaxRenderSamples = int64_t(3600) * SongSampleRate;   // one hour

// Renders song ("-" for the embedded score) with synth_render into out, a
// 44100 Hz mono 16-bit WAV, or FLAC when out ends in ".flac" ("-": a WAV on
// standard output): the mix of the tracks chosen (a stem, with --solo), bit
// for bit what play hears of them. The file appears only when complete.
// progress: a progress bar on stderr, when that is a terminal
// (tools/common/progress.h). When the mix clips, one line on err says how
// much and where.
int song_tool_render(const std::string& song, const std::string& out, int64_t samples, bool progress,
                     std::ostream& err, const TrackChoice& tracks = {});

// Whether out may be written with a score read from song: not the score
// itself (through any link), a file name (not a folder's), ending in one of
// endings (any case) unless it is a device or FIFO; "-" is standard output,
// when that is not a terminal. False with a message otherwise.
bool song_tool_check_output(const std::string& song, const std::string& out,
                            std::initializer_list<const char*> endings, std::string& error);

// The path to open for an output name: "-" is standard output.
std::string song_tool_output_path(const std::string& out);

// Parses song and reports every rejection and everything the format would
// drop or neutralise, with line numbers. 0 when the song is valid, 1 when not.
int song_tool_check(const std::string& song, std::ostream& out, bool levels = true);

// The same report for a score already in memory (name is used in messages),
// in line order; lines are quoted cut to 120 characters, and a finding
// repeated on one line is reported once with its count. A valid score that
// plays is then rendered once (as play hears it) for its levels: the peaks,
// the clipping and the loudness (levels.h), with a warning when the mix
// clips. A score whose instruments would take long to render is not;
// levels false: no score is (the findings alone, in a few microseconds).
int song_tool_check_text(const std::string& name, const std::string& text, std::ostream& out, bool levels = true);

// Writes the embedded score; withShow: followed by the built-in show as
// show lines (show/script.h), which play the same pictures.
int song_tool_print(std::ostream& out, bool withShow = false);

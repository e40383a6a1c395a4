// velomira-song look: a picture of a score as a musician reads it. From top
// to bottom: a ruler with the show's bar numbers at the score's tempo, the
// bars where the score's own show rows begin (yellow) and where its show ends
// (white), the mix's waveform with clipped samples in red, one lane per
// played track with its level envelope (36 dB scale), and a spectrogram of
// the mix (40 Hz to 16 kHz, logarithmic). The length is the score's own
// (take.h), or the bars asked for. Labels are in the tools' bitmap font
// (tools/common/font.h); the file is written by tools/common/png_file.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Take;
struct ShowScriptState;

inline constexpr int32_t LookWidth = 1600;
inline constexpr int32_t LookTrackLaneHeight = 40;

// An RGB picture, 3 bytes a pixel, rows top to bottom.
struct LookImage {
    int32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

// The samples drawn, [start, end); the whole take by default.
struct LookRange {
    int32_t start = 0;
    int32_t end = INT32_MAX;
};

// Draws a rendered take with the show's script.
LookImage look_draw(const Take& take, const ShowScriptState& script, const LookRange& range = {});

// The command: reads and renders song ("-" for the embedded score), draws it
// (bars "A:B": bars A to B-1 only) and writes out as a PNG (under a temporary
// name, renamed when complete). The exit status: 2 for an output name or bars
// refused, 1 for a score that cannot be read or rendered, a write error or
// an interrupt.
int song_tool_look(const std::string& song, const std::string& out, const std::optional<std::string>& bars = {});

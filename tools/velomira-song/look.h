// velomira-song look: a picture of a score as a musician reads it. From top
// to bottom: a ruler with the show's bar numbers at the score's tempo, the
// bars where the score's own show rows begin (yellow) and where its show ends
// (white), the mix's waveform with clipped samples in red, one lane per
// played track with its level envelope (36 dB scale), and a spectrogram of
// the mix (40 Hz to 16 kHz, logarithmic). The length is what the demo
// pre-renders at the score's tempo. Labels are in the tools' bitmap font
// (tools/common/font.h); the file is written by tools/common/png_file.h.
#pragma once

#include <cstdint>
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

// Draws a rendered take with the show's script.
LookImage look_draw(const Take& take, const ShowScriptState& script);

// The command: reads and renders song ("-" for the embedded score), draws it
// and writes out as a PNG (under a temporary name, renamed when complete).
// The exit status: 2 for an output name refused before any work, 1 for a
// score that cannot be read or rendered, a write error or an interrupt.
int song_tool_look(const std::string& song, const std::string& out);

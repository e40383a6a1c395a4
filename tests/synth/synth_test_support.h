// Helpers shared by the synthesizer tests: parsing from a
// std::string, rendering in blocks, and the literal reference sequencer.
#pragma once

#include "playback/playback.h"
#include "synth/note_table.h"
#include "synth/song.h"
#include "synth/synth.h"

#include <cstdint>
#include <string>
#include <vector>

// Parses a copy of text (the parser works in place).
inline int parse_text(const std::string& text)
{
    std::string copy = text;
    return song_parse(copy.data());
}

inline int32_t note_value(const char* name)
{
    return note_lookup(name);
}

// The sequencer exactly as the mixing rules are stated, one sample at a time
// with the row clock and both echo indices taken by remainders. The fast
// synth_render must match it sample for sample.
void synth_render_literal(int16_t* out, int32_t count);

using RenderFn = void (*)(int16_t*, int32_t);

// Renders total samples in calls of `block` samples each.
inline std::vector<int16_t> render(int32_t total, int32_t block = 1024, RenderFn fn = synth_render)
{
    std::vector<int16_t> out(size_t(total), 0);
    for (int32_t at = 0; at < total; at += block)
        fn(out.data() + at, std::min(block, total - at));
    return out;
}

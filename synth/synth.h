// Synthesizer entry points (minimal until the synthesizer lands).
#pragma once

#include <cstdint>

// Prepares the synthesizer for a sample rate; zeroes SongPosition.
void synth_init(int32_t sampleRate);
// Renders count mono samples at out and advances SongPosition by count.
void synth_render(int16_t* out, int32_t count);

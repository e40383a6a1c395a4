// The visual show (minimal until the show lands).
#pragma once

#include <cstdint>

// Reads the 1024-sample window at samples: the waveform and the level.
void show_levels(const int16_t* samples);
// Draws one frame of the show at show time ms into a 640x480 8-bit buffer.
void show_frame(uint8_t* pixels, int32_t ms);

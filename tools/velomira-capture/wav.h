// The music as the demo plays it: SongBuffer samples on both channels of a
// 44100 Hz 16-bit WAV file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Writes SongBuffer[first, end) as a whole WAV file to out, an open file
// that nothing has been written to yet. false (with error set) on failure.
bool wav_write_song(std::FILE* out, int32_t first, int32_t end, std::string& error);

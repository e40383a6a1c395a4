// Sound files (WAV or FLAC, 16-bit) written through libsndfile onto an open
// output stream, which may be a regular file, a device or a pipe.
//
// libsndfile fills in a WAV header's sizes by seeking back when it closes,
// which a pipe or FIFO cannot do, so it refuses them. The length is known
// before the first sample here: for a WAV that cannot seek, the header is
// written first for that length and the samples follow as raw little-endian
// PCM, giving the same bytes a seekable file gets.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <cstdio>
#include <string>

// A writer on its own descriptor for out (closing it leaves out open).
// format: SF_FORMAT_WAV or SF_FORMAT_FLAC; frames: exactly what will be
// written. nullptr, with error set, on failure.
SNDFILE* sound_output_open(std::FILE* out, int format, int channels, int32_t rate, int64_t frames,
                           std::string& error);

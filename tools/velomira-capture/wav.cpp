#include "tools/velomira-capture/wav.h"

#include "playback/playback.h"
#include "tools/common/sound_output.h"

#include <algorithm>

bool wav_write_song(std::FILE* out, int32_t first, int32_t end, std::string& error)
{
    SNDFILE* file = sound_output_open(out, SF_FORMAT_WAV, 2, 44100, end - first, error);
    if (!file)
        return false;
    constexpr int32_t Chunk = 4096;
    static int16_t frames[Chunk * 2];
    bool ok = true;
    for (int32_t at = first; ok && at < end; at += Chunk) {
        int32_t count = std::min(Chunk, end - at);
        for (int32_t i = 0; i < count; ++i)
            frames[2 * i] = frames[2 * i + 1] = SongBuffer[at + i];
        ok = sf_writef_short(file, frames, count) == count;
    }
    if (!ok)
        error = sf_strerror(file);
    if (sf_close(file) != 0 && ok) {
        error = "cannot finish the file";
        ok = false;
    }
    return ok;
}

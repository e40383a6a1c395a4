#include "tools/velomira-capture/wav.h"

#include "playback/playback.h"

#include <sndfile.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

bool wav_write_song(std::FILE* out, int32_t first, int32_t end, std::string& error)
{
    // libsndfile gets its own descriptor for the same open file and closes
    // it; the caller still owns (and later closes) out.
    int fd = dup(fileno(out));
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    SF_INFO format = {};
    format.samplerate = 44100;
    format.channels = 2;
    format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &format, SF_TRUE);
    if (!file) {
        error = sf_strerror(nullptr);
        return false;
    }
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

#include "tools/common/sound_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

void put_le(std::string& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(char((value >> (8 * i)) & 0xFF));
}

// The canonical 44-byte header of 16-bit PCM.
std::string wav_header(int channels, int32_t rate, int64_t frames)
{
    const uint32_t blockAlign = uint32_t(channels) * 2;
    const int64_t data = frames * blockAlign;
    const uint32_t dataBytes = data > 0xFFFFFFFFll - 36 ? uint32_t(0xFFFFFFFFll - 36) : uint32_t(data);
    std::string h = "RIFF";
    put_le(h, 36 + dataBytes, 4);
    h += "WAVEfmt ";
    put_le(h, 16, 4);
    put_le(h, 1, 2);   // PCM
    put_le(h, uint32_t(channels), 2);
    put_le(h, uint32_t(rate), 4);
    put_le(h, uint32_t(rate) * blockAlign, 4);
    put_le(h, blockAlign, 2);
    put_le(h, 16, 2);
    h += "data";
    put_le(h, dataBytes, 4);
    return h;
}

}   // namespace

SNDFILE* sound_output_open(std::FILE* out, int format, int channels, int32_t rate, int64_t frames,
                           std::string& error)
{
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format | SF_FORMAT_PCM_16;
    if (std::fflush(out) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    if (format == SF_FORMAT_WAV && lseek(fileno(out), 0, SEEK_CUR) < 0) {
        const std::string header = wav_header(channels, rate, frames);
        if (std::fwrite(header.data(), 1, header.size(), out) != header.size() || std::fflush(out) != 0) {
            error = std::strerror(errno);
            return nullptr;
        }
        info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    }
    const int fd = dup(fileno(out));
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!file)
        error = sf_strerror(nullptr);   // libsndfile has taken the descriptor
    return file;
}

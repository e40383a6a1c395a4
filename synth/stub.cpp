// Placeholder synthesizer: silence. Replaced by the real synthesizer.
#include "driver/playback.h"
#include "synth/embedded_song.h"
#include "synth/song.h"
#include "synth/synth.h"

#include <cstdio>
#include <cstring>

char EmbeddedSong[] = "bpm:125\n";

void synth_init(int32_t) { SongPosition.store(0, std::memory_order_relaxed); }
int song_parse(char*) { return 0; }
int song_load(const char* path)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f)
        return -1;
    std::fclose(f);
    return 0;
}
const char* song_error() { return ""; }
void synth_render(int16_t* out, int32_t count)
{
    if (count <= 0)
        return;
    std::memset(out, 0, sizeof(int16_t) * size_t(count));
    SongPosition.fetch_add(count, std::memory_order_relaxed);
}

// libFuzzer target: any text through song_parse, then, when the song is
// accepted, a render of a few seconds in blocks of changing size, long enough
// for patterns to end and tracks to loop at ordinary tempos. Built and run by
// scripts/fuzz.sh under AddressSanitizer and UndefinedBehaviorSanitizer.
#include "playback/playback.h"
#include "synth/song.h"
#include "synth/synth.h"
#include "tests/synth/fuzz/fuzz_budget.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!within_sample_budget(data, size))
        return -1;
    synth_reset();
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    if (song_parse(text.data()) != 0)
        return 0;
    // 48 rows, at least one second and at most three; the first blocks are
    // 1 and 1000 samples, so row steps fall inside blocks and on their edges.
    const int64_t length = std::clamp<int64_t>(int64_t(Song.RowLength) * 48, 44100, 3 * 44100);
    static int16_t out[4096];
    synth_render(out, 1);
    synth_render(out, 1000);
    int64_t done = 1001;
    while (done < length) {
        const int32_t block = int32_t(std::min<int64_t>(4096, length - done));
        synth_render(out, block);
        done += block;
    }
    return 0;
}

// libFuzzer target: any text through song_parse, then a short render when
// the song is accepted. Run by scripts/fuzz-synth.sh under AddressSanitizer
// and UndefinedBehaviorSanitizer.
#include "playback/playback.h"
#include "synth/song.h"
#include "synth/synth.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

// Numbers of more than six digits could ask for instruments of up to 2^24
// samples each, whose rendering and memory would swamp the fuzzer without
// testing anything new: such inputs are skipped.
bool too_costly(const uint8_t* data, size_t size)
{
    size_t digits = 0;
    for (size_t i = 0; i < size; ++i) {
        digits = data[i] >= '0' && data[i] <= '9' ? digits + 1 : 0;
        if (digits > 6)
            return true;
    }
    return false;
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (too_costly(data, size))
        return -1;
    Song = SongState{};
    Synth = SynthState{};
    synth_init(44100);
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    if (song_parse(text.data()) == 0) {
        int16_t out[3000];
        synth_render(out, 1000);     // crosses row steps at fast tempos
        synth_render(out, 3000);
    }
    return 0;
}

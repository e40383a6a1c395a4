// Shared by the fuzz targets: which inputs are worth running. Only the sound
// of instrument lines costs memory and time in proportion to the numbers
// written (attack + decay + sustain + release samples, each rendered and held
// as floats); numbers elsewhere (tempo, pattern numbers, sld and vol
// arguments, track entries) cost nothing and are fuzzed at any size.
#pragma once

#include <cstddef>
#include <cstdint>

// Samples all instrument lines of one input may ask for: about 4 MB of sound
// and a few milliseconds of rendering under the sanitizers.
inline constexpr int64_t FuzzSampleBudget = int64_t(1) << 20;

// True when the instrument lines of data stay within FuzzSampleBudget. Lines
// are cut as the parser cuts them (spaces and carriage returns dropped,
// leading ':' skipped, the head up to the next ':', then fields between
// commas, runs of commas being one separator). Every digit run in the four
// length fields counts, which may overestimate and never lets a costly
// input through; the other fields (the modulation rate, the sweep) cost
// nothing and may be any size.
inline bool within_sample_budget(const uint8_t* data, size_t size)
{
    int64_t total = 0, number = 0;
    bool lineStart = true, instrumentLine = false, inHead = false, inField = false;
    int32_t field = -1;   // 0: the waveform word, 1 to 4: attack, decay, sustain, release
    for (size_t i = 0; i < size; ++i) {
        const uint8_t c = data[i];
        if (c == ' ' || c == '\r')
            continue;
        if (c == '\n' || c == ',') {
            total += number;
            number = 0;
            inField = false;
            if (c == '\n') {
                lineStart = true;
                instrumentLine = inHead = false;
                field = -1;
            }
            continue;
        }
        if (lineStart) {
            if (c != ':') {
                lineStart = false;
                instrumentLine = c == 'i';
                inHead = true;
            }
            continue;
        }
        if (inHead) {
            inHead = c != ':';
            continue;
        }
        if (!inField) {
            inField = true;
            ++field;
        }
        if (instrumentLine && field >= 1 && field <= 4 && c >= '0' && c <= '9') {
            number = number * 10 + (c - '0');
            if (total + number > FuzzSampleBudget)
                return false;
        } else {
            total += number;
            number = 0;
        }
    }
    return true;
}

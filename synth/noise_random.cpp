// glibc's random_r() in its default configuration (TYPE_3: 31 words, front
// and rear pointers 3 apart), which is what rand() calls.
#include "synth/noise_random.h"

void noise_random_seed(uint32_t seed)
{
    NoiseRandom = NoiseRandomState{};
    if (seed == 0)
        seed = 1;
    NoiseRandom.words[0] = seed;
    // word = 16807 * word mod (2^31 - 1), by Schrage's method. As in glibc,
    // the word is a signed 32-bit number (a seed of 2^31 or more starts
    // negative) and the products are formed in 64 bits.
    int32_t word = int32_t(seed);
    for (int i = 1; i < 31; ++i) {
        int64_t hi = word / 127773;
        int64_t lo = word % 127773;
        word = int32_t(16807 * lo - 2836 * hi);
        if (word < 0)
            word += 2147483647;
        NoiseRandom.words[i] = uint32_t(word);
    }
    // glibc discards the first ten rounds of the state to mix in the seed.
    for (int i = 0; i < 310; ++i)
        noise_random_next();
}

int32_t noise_random_next()
{
    NoiseRandomState& r = NoiseRandom;
    uint32_t value = r.words[r.front] += r.words[r.rear];
    if (++r.front == 31)
        r.front = 0;
    if (++r.rear == 31)
        r.rear = 0;
    // The lowest bit is the least random one: dropped.
    return int32_t(value >> 1);
}

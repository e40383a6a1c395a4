// The noise table's random numbers: glibc's rand() generator, carried in the
// program so that every platform (a browser's C library included) fills the
// noise table with the same numbers and so renders the same song.
//
// Owns NoiseRandom, the generator's state. Call noise_random_seed(seed), then
// noise_random_next() for each number: the sequence after seed s is the one
// glibc's rand() gives after srand(s) (s = 1 is also rand() unseeded), in
// 0..2^31-1. Main thread only.
#pragma once

#include <cstdint>

struct NoiseRandomState {
    // glibc's additive feedback generator of degree 31, separation 3: the
    // newest word is the sum of the words 31 and 3 places back, mod 2^32.
    uint32_t words[31] = {};
    int32_t front = 3;   // the word replaced next (x[i-31] + x[i-3] lands here)
    int32_t rear = 0;    // the word three places behind it, in ring order
};
inline NoiseRandomState NoiseRandom;

// Restarts the sequence: srand(seed). A seed of 0 is taken as 1.
void noise_random_seed(uint32_t seed);
// The next number of the sequence: rand().
int32_t noise_random_next();

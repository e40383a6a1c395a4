// Instrument synthesis: the wave tables and the one-shot rendering of each
// instrument line at the base pitch.
#include "synth/synth.h"

#include "playback/playback.h"
#include "synth/noise_random.h"
#include "synth/note_table.h"
#include "synth/song.h"

#include <cmath>

namespace {

constexpr double Pi = 3.141592653589793;

// Table index of a phase: truncation toward zero, then a true modulo, so a
// phase that a falling sweep drives below zero wraps into the table instead
// of reading before it. The float -> int conversion is only defined below
// 2^31; past that the exact double remainder gives the same answer.
inline int32_t table_index(float phase, int32_t modulus)
{
    if (phase >= 0.0f && phase < 2147483648.0f)
        return int32_t(phase) % modulus;
    double index = std::fmod(std::trunc(double(phase)), double(modulus));
    if (index < 0.0)
        index += modulus;
    return int32_t(index);
}

}   // namespace

void synth_reset()
{
    Song = SongState{};
    Synth = SynthState{};
    synth_init(SongSampleRate);
}

void synth_init(int32_t sampleRate)
{
    Synth.SampleRate = sampleRate;
    SongPosition.store(0, std::memory_order_relaxed);
    const int32_t n = Synth.WaveTableLength = sampleRate / BaseDivisor;

    note_table_fill();

    std::vector<float>& square = Synth.WaveTable[WaveSquare];
    std::vector<float>& sine = Synth.WaveTable[WaveSine];
    std::vector<float>& saw = Synth.WaveTable[WaveSaw];
    std::vector<float>& noise = Synth.WaveTable[WaveNoise];
    square.assign(size_t(n), 0.0f);
    sine.assign(size_t(n), 0.0f);
    saw.assign(size_t(n), 0.0f);
    noise.assign(size_t(sampleRate), 0.0f);
    for (int32_t i = 0; i < n; ++i) {
        square[size_t(i)] = i < n / 2 ? -1.0f : 1.0f;
        sine[size_t(i)] = float(std::sin(double(2 * i) * Pi / double(n)));
        // Starts at 0.0 and rises, in phase with the sine; jumps to -1.0 at n/2.
        saw[size_t(i)] = float(std::fmod(double(2 * i) / double(n) + 1.0, 2.0) - 1.0);
    }
    // The noise is glibc's unseeded rand sequence, from the project's own
    // copy of the generator so that no platform's C library can change it.
    // Seeding restarts the sequence, so the table is the same however often
    // synth_init runs.
    noise_random_seed(1);
    for (int32_t i = 0; i < sampleRate; ++i)
        noise[size_t(i)] = float(noise_random_next() % 2000 - 1000) * 0.001f;

    for (Voice& voice : Synth.voices)
        voice = Voice{};
    for (Track& track : Song.tracks)
        track[0] = TrackEnd;
}

void instrument_render(int32_t attack, int32_t decay, int32_t sustain, int32_t release,
                       int32_t modRate, int32_t sweep, int32_t instrument, int32_t waveform)
{
    const int32_t attackLength = attack == 0 ? 1 : attack;
    const int32_t releaseLength = release == 0 ? 1 : release;
    const float* table = Synth.WaveTable[waveform].data();
    const int32_t modulus = waveform == WaveNoise ? Synth.SampleRate : Synth.WaveTableLength;
    const int32_t length = Synth.WaveTableLength;

    // Increments are formed in double and rounded to float once; all of them
    // use WaveTableLength, the noise too.
    const float sweepStep = float(double(sweep) * 0.001 / double(length));
    const float lfoStep = modRate != 0 ? float(2.0 * Pi * double(modRate) * 0.01 / double(length)) : 0.0f;
    const float slope = float(1.0 / double(attackLength));

    float* out = Song.instruments[instrument].samples.data();
    float phase = 0.0f;
    float phaseStep = 1.0f;
    float amp = 0.0f;
    float lfoPhase = 0.0f;
    int32_t j = 0;

    // One sample at the current amplitude; the phase advances by the step
    // from before this sample's sweep.
    auto emit = [&]() {
        float value = amp * table[table_index(phase, modulus)];
        if (modRate != 0)   // the ring modulation sine and its product are double
            value = float(double(value) * std::sin(double(lfoPhase)));
        out[j++] = value;
        phase = phase + phaseStep;
        phaseStep = phaseStep + sweepStep;
        lfoPhase = lfoPhase + lfoStep;
    };

    for (int32_t i = 0; i < attackLength; ++i) {
        emit();
        amp = amp + slope;
    }
    // The decay falls with the attack's slope, not 1/decay: a decay longer
    // than the attack drives amp through 0.0 into negative values (inverting
    // the wave), ending at 1 - decay/attack. Deliberate; the kick relies on it.
    for (int32_t i = 0; i < decay; ++i) {
        emit();
        amp = amp - slope;
    }
    for (int32_t i = 0; i < sustain; ++i)
        emit();
    const float releaseSlope = amp / float(releaseLength);
    for (int32_t i = 0; i < releaseLength; ++i) {
        emit();
        amp = amp - releaseSlope;
    }
    // With attack and release at least 1 the last of the sampleLength
    // entries is never written and stays 0.0.
}

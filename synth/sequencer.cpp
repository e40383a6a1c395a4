// Sequencer and mixer: row steps, note replay, echo lines, clamp and scale.
//
// The mix is computed track by track over runs of samples rather than sample
// by sample: within a run no row step happens and each echo index simply
// counts up, so the two remainders per track and sample disappear. Every
// sample's sum is still 0.0 + v1 + v2 + ... in track order, in single
// precision, so the result is bit-identical to mixing one sample at a time.
//
// A track's run has two stages: its note is read first (play_note: the
// instrument's samples at each sample's read position, whole stretches at a
// time where the positions are exact multiples, see steady_stretch), then it
// goes through its echo line into the sums, vectorized along the run
// (echo_track). A track whose echo line was never fed holds +0.0 there and
// adds only its note (deliver_dry).
#include "synth/synth.h"

#include "playback/playback.h"
#include "synth/mixer.h"
#include "synth/note_table.h"
#include "synth/song.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__AVX2__)
#include <immintrin.h>
#endif

namespace {

constexpr float NoteStep = 1.0f / 262.0f;        // note value -> playPos step
constexpr double SlideFactor = 0.00001;          // "sld" argument -> step change per sample
constexpr double VolumeFactor = 0.01;            // "vol" argument is a percentage
constexpr double EchoFeedback = 0.6;             // recirculation of an idle echo line
constexpr double EchoSend = 0.2;                 // what a playing voice feeds into its line
constexpr float MixLimit = 6.0f;
// One unit in the last place below 32767/6: a clamped +-6.0 gives +-32766.
constexpr double OutputScale = 5461.166666666666;

// The cell at rowIndex, where a pattern without an end marker (possible
// only in a song the parser rejected) ends at the table's edge.
inline int32_t cell_at(const Pattern& pattern, int32_t rowIndex)
{
    return rowIndex < MaxCells ? pattern[size_t(rowIndex)] : PatternEnd;
}

// One row step of track t: advance through its pattern and play list, then
// act on the cell.
void row_step(Voice& voice, int32_t t)
{
    const Track& track = Song.tracks[t];
    if (voice.entryIndex == VoiceFinished)
        return;
    voice.rowIndex = voice.rowIndex + 1;
    if (voice.entryIndex == VoiceNotStarted ||
        cell_at(Song.patterns[track[size_t(voice.entryIndex)]], voice.rowIndex) == PatternEnd) {
        voice.entryIndex = voice.entryIndex + 1;
        if (track[size_t(voice.entryIndex)] == TrackLoop)
            voice.entryIndex = 0;
        if (track[size_t(voice.entryIndex)] == TrackEnd)
            voice.entryIndex = VoiceFinished;
        voice.rowIndex = 0;
    }
    if (voice.entryIndex == VoiceFinished)
        return;
    const Pattern& pattern = Song.patterns[track[size_t(voice.entryIndex)]];
    const int32_t cell = cell_at(pattern, voice.rowIndex);
    switch (cell) {
    case CellEmpty:
    case PatternEnd:   // an empty pattern (rejected songs only) is a silent row
        break;
    case CmdSld:
        voice.rowIndex = voice.rowIndex + 1;
        voice.slide = float(double(cell_at(pattern, voice.rowIndex)) * SlideFactor);
        break;
    case CmdVol:
        voice.rowIndex = voice.rowIndex + 1;
        voice.volume = float(double(cell_at(pattern, voice.rowIndex)) * VolumeFactor);
        break;
    case CmdStop:
        voice.playPos = -1.0f;
        break;
    case CmdEcho0:
        voice.echoOn = 0;
        break;
    case CmdEcho1:
        voice.echoOn = 1;
        break;
    default:   // a note: restart the instrument at the note's pitch
        voice.playPos = 0.0f;
        voice.step = float(cell) * NoteStep;
        break;
    }
}

// On x86-64 the note reading, the echo loops and the output stage are also
// compiled for AVX2 and AVX-512 and chosen by what the processor has: the
// same IEEE operations on wider vectors (the echo sixteen lanes at a time
// instead of four), so the same bits; no FMA, and -ffp-contract=off holds.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__AVX2__)
#define SYNTH_AVX2 1
bool has_avx2()
{
    static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return yes;
}

bool has_avx512()
{
    static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx512f") &&
                             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
                             __builtin_cpu_supports("avx512bw"));
    return yes;
}
// GCC keeps its loops on 256-bit vectors unless told; clang has no such
// preference to set in a target attribute (and ignores the attribute whole
// when it names one).
#if defined(__clang__)
#define SYNTH_AVX512_TARGET __attribute__((target("avx512f,avx512vl,avx512dq,avx512bw")))
#else
#define SYNTH_AVX512_TARGET __attribute__((target("avx512f,avx512vl,avx512dq,avx512bw,prefer-vector-width=512")))
#endif
#endif

// A stretch of a note whose read positions are known in advance: sample j
// of it reads at playPos + j * increment.
struct Stretch {
    int32_t steps = 0;
    float increment = 0.0f;
    bool ends = false;     // the position after the last step is past the note's end
    bool atEdge = false;   // else the next step leaves the binade (when steps < most)
};

// playPos = playPos + step once per sample is a chain of roundings, but while
// playPos stays in one binade [2^e, 2^(e+1)) every sum is rounded to the same
// grid, the multiples of u = 2^(e-23). playPos is one of them, so the sum
// rounds to playPos + d, where d is the multiple of u nearest to step: the
// same d at every sample, unless step lies exactly halfway between two
// multiples (the tie then goes to the even one and d alternates). The
// position j samples on is therefore playPos + j * d, and computing it so is
// exact: j * d and the sum are multiples of u below 2^(e+1). A stretch ends
// before the first position at or past 2^(e+1), at the first one at or past
// the note's end (a sampleLength, an integer, so a multiple of u), or after
// `most` samples. 0 steps when the rule does not apply: a slide, a negative
// or tied step, a position at 0.0 or below the normal range.
Stretch steady_stretch(float playPos, float step, float slide, float end, int32_t most)
{
    if (slide != 0.0f || !(step >= 0.0f) || !(playPos >= FLT_MIN) || !(playPos < end))
        return {};
    // The binade from playPos's exponent field (playPos is positive and normal).
    uint32_t bits;
    std::memcpy(&bits, &playPos, sizeof bits);
    const int32_t exponent = int32_t(bits >> 23) - 127;
    if (exponent > 23)   // a unit above 1.0: end could fall between two multiples
        return {};
    // All of these are exact in double: powers of two, products with them
    // and differences of floats within one binade.
    const auto power = [](int32_t e) {
        const uint64_t field = uint64_t(e + 1023) << 52;
        double value;
        std::memcpy(&value, &field, sizeof value);
        return value;
    };
    const double unit = power(exponent - 23), perUnit = power(23 - exponent);
    const double units = double(step) * perUnit;
    const double whole = std::floor(units);
    if (units > 1e15 || units - whole == 0.5)
        return {};
    const int64_t d = int64_t(whole) + (units - whole > 0.5 ? 1 : 0);
    const double edge = power(exponent + 1);
    const int64_t room = int64_t((edge - double(playPos)) * perUnit);   // playPos + j*d*u < edge: j*d < room
    int64_t steps = d == 0 ? most : std::min<int64_t>(most, (room - 1) / d);
    bool ends = false;
    if (d != 0 && double(end) < edge) {
        const int64_t left = int64_t((double(end) - double(playPos)) * perUnit);
        const int64_t toEnd = (left + d - 1) / d;   // the first j with j*d >= left
        if (toEnd <= steps) {
            steps = toEnd;
            ends = true;
        }
    }
    return {int32_t(steps), float(double(d) * unit), ends, !ends && steps < most};
}

// The samples of a stretch (length: the instrument's samples): no chain from
// one sample to the next, so sixteen positions are formed at once, each as
// playPos + float(j) * increment, the same two operations as one at a time.
[[gnu::always_inline]] inline void read_stretch_body(const float* __restrict samples, float playPos,
                                                     float increment, float* __restrict dry, int32_t steps)
{
    for (int32_t j = 0; j < steps; ++j)
        dry[j] = samples[int32_t(playPos + float(j) * increment)];
}

void read_stretch_base(const float* samples, int32_t, float playPos, float increment, float* dry, int32_t steps)
{
    read_stretch_body(samples, playPos, increment, dry, steps);
}

#if defined(SYNTH_AVX2)
__attribute__((target("avx2"))) void read_stretch_avx2(const float* samples, int32_t, float playPos,
                                                        float increment, float* dry, int32_t steps)
{
    const __m256 lanes = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256 from = _mm256_set1_ps(playPos), by = _mm256_set1_ps(increment);
    int32_t j = 0;
    for (; j + 8 <= steps; j += 8) {
        const __m256 at = _mm256_add_ps(_mm256_set1_ps(float(j)), lanes);   // exact: integers
        const __m256i index = _mm256_cvttps_epi32(_mm256_add_ps(from, _mm256_mul_ps(at, by)));
        _mm256_storeu_ps(dry + j, _mm256_i32gather_ps(samples, index, 4));
    }
    for (; j < steps; ++j)
        dry[j] = samples[int32_t(playPos + float(j) * increment)];
}

// Sixteen positions at a time. Where they span fewer than 32 samples (a
// step below about 2, the lower notes) the samples are loaded as two vectors
// from the first position's index on and picked by a permutation, which
// costs less than a gather; the loads are masked at the end of the
// instrument's samples.
SYNTH_AVX512_TARGET inline __m512 load_samples(const float* samples, int32_t length, int32_t from)
{
    if (from + 16 <= length)
        return _mm512_loadu_ps(samples + from);
    const int32_t left = std::max(length - from, 0);
    return _mm512_maskz_loadu_ps(__mmask16((1u << left) - 1), samples + from);
}

SYNTH_AVX512_TARGET void read_stretch_avx512(const float* samples, int32_t length, float playPos,
                                             float increment, float* dry, int32_t steps)
{
    const __m512 lanes = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512 from = _mm512_set1_ps(playPos), by = _mm512_set1_ps(increment);
    // Sixteen positions span at most floor(15 * increment) + 1 indices.
    const bool narrow = increment * 15.0f < 31.0f;
    // (The masked forms with every lane set: GCC 12 warns about the undefined
    // pass-through operand of the unmasked ones.)
    const __m512i noIndex = _mm512_setzero_si512();
    const __m512 noValue = _mm512_setzero_ps();
    int32_t j = 0;
    for (; j + 16 <= steps; j += 16) {
        const __m512 at = _mm512_add_ps(_mm512_set1_ps(float(j)), lanes);   // exact: integers
        const __m512i index = _mm512_mask_cvttps_epi32(noIndex, 0xffff, _mm512_add_ps(from, _mm512_mul_ps(at, by)));
        __m512 value;
        if (narrow) {
            const int32_t base = int32_t(playPos + float(j) * increment);   // lane 0's index
            value = _mm512_permutex2var_ps(load_samples(samples, length, base),
                                           _mm512_sub_epi32(index, _mm512_set1_epi32(base)),
                                           load_samples(samples, length, base + 16));
        } else {
            value = _mm512_mask_i32gather_ps(noValue, 0xffff, index, samples, 4);
        }
        _mm512_storeu_ps(dry + j, value);
    }
    for (; j < steps; ++j)
        dry[j] = samples[int32_t(playPos + float(j) * increment)];
}
#endif

void read_stretch(const float* samples, int32_t length, float playPos, float increment, float* dry, int32_t steps)
{
#if defined(SYNTH_AVX2)
    if (has_avx512()) {
        read_stretch_avx512(samples, length, playPos, increment, dry, steps);
        return;
    }
    if (has_avx2()) {
        read_stretch_avx2(samples, length, playPos, increment, dry, steps);
        return;
    }
#endif
    read_stretch_base(samples, length, playPos, increment, dry, steps);
}

// One sample of a note read where no stretch applies: the sample at the read
// position into dry[k] (unless dry is null), then the position and the step
// advance. False when that ends the note (playPos is then -1).
[[gnu::always_inline]] inline bool read_sample(const float* samples, float end, float slide, float* dry,
                                               int32_t& k, float& playPos, float& step)
{
    if (dry)
        dry[k] = samples[int32_t(playPos)];
    ++k;
    playPos = playPos + step;
    step = step + slide;
    if (playPos >= end || playPos < 0.0f) {
        playPos = -1.0f;
        return false;
    }
    return true;
}

// Plays the voice's note for up to n samples, writing the instrument's
// samples at the read positions to dry (when dry is null the note only
// advances), and returns the samples it sounded; the voice falls silent
// where the note ends. Sample by sample where no stretch applies.
int32_t play_note(Voice& voice, const Instrument& ins, float* dry, int32_t n)
{
    const float* samples = ins.samples.data();
    const float end = float(ins.sampleLength);
    const float slide = voice.slide;
    float playPos = voice.playPos;
    float step = voice.step;
    int32_t k = 0;
    while (k < n) {
        const Stretch stretch = steady_stretch(playPos, step, slide, end, n - k);
        if (stretch.steps > 0) {
            if (dry)
                read_stretch(samples, ins.sampleLength, playPos, stretch.increment, dry + k, stretch.steps);
            k += stretch.steps;
            playPos = playPos + float(stretch.steps) * stretch.increment;
            step = step + slide;   // slide is a zero: adding it once is adding it every time
            if (stretch.ends) {
                playPos = -1.0f;
                break;
            }
            if (!stretch.atEdge)
                continue;
            // The step into the next binade, on its own (k < n here).
        } else if (slide != 0.0f || !(step >= 0.0f)) {
            // No stretch applies for the rest of the run (a slide stays, a
            // negative step with no slide stays negative): one sample at a
            // time to the end of the run or of the note.
            while (k < n && read_sample(samples, end, slide, dry, k, playPos, step)) {
            }
            break;
        }
        if (!read_sample(samples, end, slide, dry, k, playPos, step))
            break;
    }
    voice.playPos = playPos;
    voice.step = step;
    return k;
}

// Notes that no stretch helps (a slide, a negative step) read for up to
// four tracks side by side. Their read position is a chain of additions,
// playPos + step, one per sample, so one track's note costs an addition's
// latency per sample; four tracks in the lanes of one vector run four chains
// for the price of one. Each lane still makes its own track's sequence of
// single-precision sums, exactly as one track alone would.
constexpr int32_t NoteLanes = 4;

struct NoteRead {
    Voice* voices = nullptr;               // the walk's
    int32_t count = 0;                     // lanes in use
    int32_t track[NoteLanes] = {};
    int32_t sounded[NoteLanes] = {};       // samples the note sounded in the run (n: still playing)
    float dry[NoteLanes][MixRunSamples];   // the instrument's samples at the read positions
};

// A lane that reads nothing sits at 0.0 with step 0 and end 0.0, so it
// stays there, always counts as ended, and reads Silent[0], a 0.0 (the
// lanes are SSE2's; elsewhere every note is read on its own).
#if defined(__SSE2__)
constexpr float Silent[1] = {0.0f};
#endif

void read_notes_scalar(NoteRead& read, int32_t lane, int32_t n)
{
    Voice& voice = read.voices[read.track[lane]];
    const Instrument& ins = Song.instruments[read.track[lane]];
    const float* samples = ins.samples.data();
    const float end = float(ins.sampleLength);
    const float slide = voice.slide;
    float* dry = read.dry[lane];
    float playPos = voice.playPos;
    float step = voice.step;
    int32_t k = 0;
    while (k < n && read_sample(samples, end, slide, dry, k, playPos, step)) {
    }
    voice.playPos = playPos;
    voice.step = step;
    read.sounded[lane] = k;
}

// Reads every lane's note for up to n samples, advancing the voices.
[[gnu::always_inline]] inline void read_notes_body(NoteRead& read, int32_t n)
{
#if defined(__SSE2__)
    if (read.count == 1) {
        read_notes_scalar(read, 0, n);
        return;
    }
    alignas(16) float pos[NoteLanes], step[NoteLanes], slide[NoteLanes], end[NoteLanes];
    const float* src[NoteLanes];
    int32_t idle = 0;   // bit per lane that reads nothing any more
    for (int32_t lane = 0; lane < NoteLanes; ++lane) {
        if (lane < read.count) {
            const Voice& voice = read.voices[read.track[lane]];
            const Instrument& ins = Song.instruments[read.track[lane]];
            pos[lane] = voice.playPos;
            step[lane] = voice.step;
            slide[lane] = voice.slide;
            end[lane] = float(ins.sampleLength);
            src[lane] = ins.samples.data();
            read.sounded[lane] = n;
        } else {
            pos[lane] = step[lane] = slide[lane] = end[lane] = 0.0f;
            src[lane] = Silent;
            idle |= 1 << lane;
        }
    }
    // The sources in locals, not the array: in registers through the loop.
    const float* src0 = src[0];
    const float* src1 = src[1];
    const float* src2 = src[2];
    const float* src3 = src[3];
    float* dry0 = read.dry[0];
    float* dry1 = read.dry[1];
    float* dry2 = read.dry[2];
    float* dry3 = read.dry[3];
    __m128 p = _mm_load_ps(pos), s = _mm_load_ps(step), sl = _mm_load_ps(slide), e = _mm_load_ps(end);
    const __m128 zero = _mm_setzero_ps();
    for (int32_t k = 0; k < n; ++k) {
        // A playing lane's position is in [0, end): its truncation is the
        // scalar int32_t(playPos), never negative.
        alignas(16) uint32_t at[NoteLanes];
        _mm_store_si128(reinterpret_cast<__m128i*>(at), _mm_cvttps_epi32(p));
        dry0[k] = src0[at[0]];
        dry1[k] = src1[at[1]];
        dry2[k] = src2[at[2]];
        dry3[k] = src3[at[3]];
        p = _mm_add_ps(p, s);
        s = _mm_add_ps(s, sl);
        // The scalar test playPos >= end || playPos < 0; an idle lane is
        // always out, so a change is a note ending.
        const int32_t out = _mm_movemask_ps(_mm_or_ps(_mm_cmpge_ps(p, e), _mm_cmplt_ps(p, zero)));
        if (out != idle) {
            _mm_store_ps(pos, p);
            _mm_store_ps(step, s);
            for (int32_t lane = 0; lane < NoteLanes; ++lane) {
                if (!(out >> lane & 1) || (idle >> lane & 1))
                    continue;
                Voice& voice = read.voices[read.track[lane]];
                voice.playPos = -1.0f;
                voice.step = step[lane];
                read.sounded[lane] = k + 1;
                pos[lane] = step[lane] = slide[lane] = end[lane] = 0.0f;
            }
            src0 = out & 1 ? Silent : src0;
            src1 = out & 2 ? Silent : src1;
            src2 = out & 4 ? Silent : src2;
            src3 = out & 8 ? Silent : src3;
            idle = out;
            if (idle == (1 << NoteLanes) - 1)
                break;
            p = _mm_load_ps(pos);
            s = _mm_load_ps(step);
            sl = _mm_load_ps(slide);
            e = _mm_load_ps(end);
        }
    }
    _mm_store_ps(pos, p);
    _mm_store_ps(step, s);
    for (int32_t lane = 0; lane < read.count; ++lane) {
        if (idle >> lane & 1)
            continue;
        Voice& voice = read.voices[read.track[lane]];
        voice.playPos = pos[lane];
        voice.step = step[lane];
    }
#else
    for (int32_t lane = 0; lane < read.count; ++lane)
        read_notes_scalar(read, lane, n);
#endif
}

void read_notes_base(NoteRead& read, int32_t n)
{
    read_notes_body(read, n);
}

#if defined(SYNTH_AVX2)
__attribute__((target("avx2"))) void read_notes_avx2(NoteRead& read, int32_t n)
{
    read_notes_body(read, n);
}
#endif

void read_notes(NoteRead& read, int32_t n)
{
#if defined(SYNTH_AVX2)
    if (has_avx2()) {
        read_notes_avx2(read, n);
        return;
    }
#endif
    read_notes_base(read, n);
}

// A playing note that play_note would read one sample at a time.
bool note_is_chained(const Voice& voice)
{
    return voice.playPos >= 0.0f && (voice.slide != 0.0f || !(voice.step >= 0.0f));
}

// Where a track's value v goes: added to the mix, or stored as it is.
template <bool Store>
inline void deliver(float& mix, float v)
{
    if constexpr (Store)
        mix = v;
    else
        mix += v;
}

// The idle part of a run: the echo line recirculates at 0.6 and is heard.
// echo[k + 1] is the slot written EchoLength - 1 samples ago.
template <bool Store>
[[gnu::always_inline]] inline void echo_idle(float* __restrict echo, float* __restrict mix, int32_t n)
{
    for (int32_t k = 0; k < n; ++k) {
        const float delayed = echo[k + 1];
        echo[k] = float(double(delayed) * EchoFeedback);
        deliver<Store>(mix[k], delayed);
    }
}

// The note part: the dry note at its volume over the echo; the line is fed
// the sum while echo is on, else it recirculates.
template <bool Store, bool EchoOn>
[[gnu::always_inline]] inline void echo_note(float* __restrict echo, const float* __restrict dry, float volume, float* __restrict mix,
               int32_t n)
{
    for (int32_t k = 0; k < n; ++k) {
        const float delayed = echo[k + 1];
        const float v = delayed + dry[k] * volume;
        echo[k] = EchoOn ? float(double(v) * EchoSend) : float(double(delayed) * EchoFeedback);
        deliver<Store>(mix[k], v);
    }
}

// Track t's values for n samples, its note already read (dry, sounded
// samples of it; none when dry is null), through its echo line into mix.
// When held is not null the first sample's write into the line goes there.
template <bool Store>
[[gnu::always_inline]] inline void echo_track_body(int32_t t, int32_t position, const float* dry,
                                                   int32_t sounded, float volume, bool echoOn, float* mix,
                                                   int32_t n, float* held)
{
    Instrument& ins = Song.instruments[t];
    const int32_t echoLength = Song.EchoLength;
    float* echo = ins.echoLine.data();
    int32_t write = position % echoLength;
    int32_t i = 0;
    while (i < n) {
        // Slot `write` is refilled from slot write + 1; at the line's last
        // slot the read wraps to slot 0, a run of one sample. A held first
        // slot is a run of one sample too.
        float* at = echo + write;
        int32_t run;
        float wrapped[2];
        float* keep = held && i == 0 ? held : nullptr;
        if (write == echoLength - 1 || keep) {
            run = 1;
            wrapped[1] = echo[write == echoLength - 1 ? 0 : write + 1];
            at = wrapped;
        } else {
            run = std::min(n - i, echoLength - 1 - write);
        }
        const int32_t note = dry ? std::clamp(sounded - i, 0, run) : 0;
        if (note > 0 && echoOn)
            echo_note<Store, true>(at, dry + i, volume, mix + i, note);
        else if (note > 0)
            echo_note<Store, false>(at, dry + i, volume, mix + i, note);
        echo_idle<Store>(at + note, mix + i + note, run - note);
        if (at == wrapped)
            *(keep ? keep : echo + write) = wrapped[0];
        i += run;
        write = write + run == echoLength ? 0 : write + run;
    }
}

template <bool Store>
void echo_track_base(int32_t t, int32_t position, const float* dry, int32_t sounded, float volume, bool echoOn,
                     float* mix, int32_t n, float* held)
{
    echo_track_body<Store>(t, position, dry, sounded, volume, echoOn, mix, n, held);
}

#if defined(SYNTH_AVX2)
template <bool Store>
__attribute__((target("avx2"))) void echo_track_avx2(int32_t t, int32_t position, const float* dry,
                                                     int32_t sounded, float volume, bool echoOn, float* mix,
                                                     int32_t n, float* held)
{
    echo_track_body<Store>(t, position, dry, sounded, volume, echoOn, mix, n, held);
}

template <bool Store>
SYNTH_AVX512_TARGET void echo_track_avx512(int32_t t, int32_t position, const float* dry, int32_t sounded,
                                           float volume, bool echoOn, float* mix, int32_t n, float* held)
{
    echo_track_body<Store>(t, position, dry, sounded, volume, echoOn, mix, n, held);
}
#endif

template <bool Store>
void echo_track(int32_t t, int32_t position, const float* dry, int32_t sounded, float volume, bool echoOn,
                float* mix, int32_t n, float* held)
{
#if defined(SYNTH_AVX2)
    if (has_avx512()) {
        echo_track_avx512<Store>(t, position, dry, sounded, volume, echoOn, mix, n, held);
        return;
    }
    if (has_avx2()) {
        echo_track_avx2<Store>(t, position, dry, sounded, volume, echoOn, mix, n, held);
        return;
    }
#endif
    echo_track_base<Store>(t, position, dry, sounded, volume, echoOn, mix, n, held);
}

bool track_has_instrument(int32_t t)
{
    const Instrument& ins = Song.instruments[t];
    return ins.sampleLength != 0 && int64_t(ins.echoLine.size()) >= Song.EchoLength;
}

// Largest magnitude of n values (max is exact: the order does not matter).
float peak_of(const float* v, int32_t n)
{
    float peak = 0.0f;
    for (int32_t k = 0; k < n; ++k)
        peak = std::max(peak, std::fabs(v[k]));
    return peak;
}

// Which sums of a run some track has reached. Each sum starts as the first
// track's values, stored rather than added to 0.0: the same numbers except
// that a -0.0 stays -0.0, and a zero's sign changes no output (the clamp
// passes both, and both scale to 0) nor any later sum but in its sign. A
// sum no track reaches is filled with 0.0 at the end of the run.
struct Reached {
    bool all = false;
    bool heard = false;
};

// sum = sum + value (or sum = value if no track has reached it) for n values.
inline void add_values(float* sum, bool& reached, const float* value, int32_t n)
{
    if (reached) {
        for (int32_t k = 0; k < n; ++k)
            sum[k] += value[k];
    } else {
        std::copy(value, value + n, sum);
        reached = true;
    }
}

// A track whose echo line holds only +0.0 and stays so: its v is 0.0 plus
// the note at its volume, and 0.0 after the note. Adding 0.0 + x to a sum
// is adding x up to the sign of a zero (see Reached), so the note alone is
// added and the rest of the run adds nothing; the line is left as it is, as
// recirculating +0.0 would leave it.
void deliver_dry(int32_t t, const float* dry, int32_t sounded, int32_t n, float volume, bool heard,
                 const MixTargets& to, Reached& reached)
{
    if (sounded == 0)
        return;
    const auto into = [&](float* sum, bool& sumReached) {
        if (sumReached) {
            for (int32_t k = 0; k < sounded; ++k)
                sum[k] += dry[k] * volume;
            return;
        }
        for (int32_t k = 0; k < sounded; ++k)
            sum[k] = dry[k] * volume;
        std::fill(sum + sounded, sum + n, 0.0f);
        sumReached = true;
    };
    if (to.all)
        into(to.all, reached.all);
    if (heard)
        into(to.heard, reached.heard);
    if (to.peaks) {
        float peak = to.peaks[t];
        for (int32_t k = 0; k < sounded; ++k)
            peak = std::max(peak, std::fabs(dry[k] * volume));
        to.peaks[t] = peak;
    }
}

// Track t through its echo line into the targets.
void deliver_track(MixerWalk& walk, int32_t t, int32_t position, const float* dry, int32_t sounded, int32_t n,
                   float volume, bool echoOn, const MixTargets& to, Reached& reached)
{
    const bool heard = to.heard && (to.heardMask >> t & 1u);
    if (!walk.echoFed[t]) {
        if (!echoOn || sounded == 0) {
            deliver_dry(t, dry, sounded, n, volume, heard, to, reached);
            return;
        }
        walk.echoFed[t] = true;
    }
    float* held = to.held ? to.held + t : nullptr;
    // Into one sum and nothing else (synth_render, the two-thread render
    // without peaks): straight into it.
    if (!to.peaks && (to.all != nullptr) != heard) {
        float* only = to.all ? to.all : to.heard;
        bool& onlyReached = to.all ? reached.all : reached.heard;
        if (onlyReached)
            echo_track<false>(t, position, dry, sounded, volume, echoOn, only, n, held);
        else
            echo_track<true>(t, position, dry, sounded, volume, echoOn, only, n, held);
        onlyReached = true;
        return;
    }
    float v[MixRunSamples];
    echo_track<true>(t, position, dry, sounded, volume, echoOn, v, n, held);
    if (to.all)
        add_values(to.all, reached.all, v, n);
    if (heard)
        add_values(to.heard, reached.heard, v, n);
    if (to.peaks)
        to.peaks[t] = std::max(to.peaks[t], peak_of(v, n));
}

}   // namespace

void mixer_walk_load(MixerWalk& walk)
{
    for (int32_t t = 0; t < MaxVoices; ++t) {
        walk.voices[t] = Synth.voices[t];
        walk.echoFed[t] = Song.instruments[t].echoFed;
    }
}

void mixer_walk_store(const MixerWalk& walk)
{
    for (int32_t t = 0; t < MaxVoices; ++t) {
        Synth.voices[t] = walk.voices[t];
        Song.instruments[t].echoFed = walk.echoFed[t];
    }
}

void mixer_row_steps(MixerWalk& walk, int32_t first, int32_t last, int32_t position)
{
    if (position % Song.RowLength != 0)
        return;
    for (int32_t t = first; t <= last; ++t)
        row_step(walk.voices[t], t);
}

void mixer_mix_tracks(MixerWalk& walk, int32_t first, int32_t last, int32_t position, int32_t n,
                      const MixTargets& to)
{
    // Tracks go through their echo lines in order. Notes that no stretch
    // helps are read first, up to four at a time, so a batch reaches as far
    // as its fourth such track; the others are read as their track comes.
    float dry[MixRunSamples];
    Reached reached;
    NoteRead chained;
    chained.voices = walk.voices;
    int32_t next = first;   // the first track not yet delivered
    for (int32_t t = first; t <= last + 1; ++t) {
        if (t <= last && track_has_instrument(t) && note_is_chained(walk.voices[t]))
            chained.track[chained.count++] = t;
        if (chained.count < NoteLanes && t <= last)
            continue;
        if (chained.count > 0)
            read_notes(chained, n);
        int32_t lane = 0;
        for (; next <= std::min(t, last); ++next) {
            if (!track_has_instrument(next))
                continue;
            Voice& voice = walk.voices[next];
            const float* notes = dry;
            int32_t sounded = 0;
            if (lane < chained.count && chained.track[lane] == next) {
                notes = chained.dry[lane];
                sounded = chained.sounded[lane++];
            } else if (voice.playPos >= 0.0f) {
                sounded = play_note(voice, Song.instruments[next], dry, n);
            }
            deliver_track(walk, next, position, sounded > 0 ? notes : nullptr, sounded, n, voice.volume,
                          voice.echoOn != 0, to, reached);
        }
        chained.count = 0;
    }
    if (to.all && !reached.all)
        std::fill(to.all, to.all + n, 0.0f);
    if (to.heard && !reached.heard)
        std::fill(to.heard, to.heard + n, 0.0f);
}

void mixer_skip_tracks(MixerWalk& walk, int32_t first, int32_t last, int32_t n)
{
    for (int32_t t = first; t <= last; ++t) {
        if (!track_has_instrument(t))
            continue;
        Voice& voice = walk.voices[t];
        const int32_t sounded = voice.playPos >= 0.0f ? play_note(voice, Song.instruments[t], nullptr, n) : 0;
        // As deliver_track: the first sounded run with echo on feeds the line.
        if (voice.echoOn != 0 && sounded > 0)
            walk.echoFed[t] = true;
    }
}

// Clamp to +-6.0 (a NaN becomes -6.0), scale in double precision and
// truncate toward zero. maxps(x, -6) returns -6 when x is NaN and minps(x, 6)
// returns x unless it is above 6, exactly the scalar rule; the products and
// truncations are the same double operations two at a time.
namespace {

#if defined(SYNTH_AVX2)
// The same steps as below eight at a time; the sums are within +-6.0, so
// the products fit 16 bits and vpmovdw's truncation equals packs' saturation.
// (Eight at a time and the masked forms with every lane set: GCC 12 warns
// about the undefined pass-through operand of the unmasked 512-bit ones.)
SYNTH_AVX512_TARGET int32_t write_output_avx512(const float* mix, int16_t* out, int32_t n)
{
    const __m256 low = _mm256_set1_ps(-MixLimit), high = _mm256_set1_ps(MixLimit);
    const __m512d scale = _mm512_set1_pd(OutputScale);
    const __m512d zero = _mm512_setzero_pd();
    const __m256i nothing = _mm256_setzero_si256();
    const __m128i none = _mm_setzero_si128();
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 sum = _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(mix + i), low), high);
        const __m512d wide = _mm512_mul_pd(_mm512_mask_cvtps_pd(zero, 0xff, sum), scale);
        const __m256i words = _mm512_mask_cvttpd_epi32(nothing, 0xff, wide);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_mask_cvtepi32_epi16(none, 0xff, words));
    }
    return i;
}
#endif

}   // namespace

void mixer_write_output(const float* mix, int16_t* out, int32_t n)
{
    int32_t i = 0;
#if defined(SYNTH_AVX2)
    if (has_avx512())
        i = write_output_avx512(mix, out, n);
#endif
#if defined(__SSE2__)
    const __m128 low = _mm_set1_ps(-MixLimit), high = _mm_set1_ps(MixLimit);
    const __m128d scale = _mm_set1_pd(OutputScale);
    for (; i + 4 <= n; i += 4) {
        const __m128 sum = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(mix + i), low), high);
        const __m128i first = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(sum), scale));
        const __m128i second = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(sum, sum)), scale));
        const __m128i words = _mm_packs_epi32(_mm_unpacklo_epi64(first, second), _mm_setzero_si128());
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), words);
    }
#endif
    for (; i < n; ++i) {
        float sum = mix[i];
        if (!(sum >= -MixLimit))
            sum = -MixLimit;
        else if (sum > MixLimit)
            sum = MixLimit;
        out[i] = int16_t(int32_t(double(sum) * OutputScale));
    }
}

namespace {

// The sequencer's runs: row steps at row boundaries, then the tracks' sound
// added to the mix in track order, and to the heard mix beside it for the
// tracks in mask.
template <bool WithHeard>
void render_runs(int16_t* out, int16_t* heard, int32_t count, uint32_t mask)
{
    if (count <= 0)
        return;
    int32_t position = SongPosition.load(std::memory_order_relaxed);
    const int32_t played = song_played_tracks();
    const int32_t rowLength = Song.RowLength;
    float mix[MixRunSamples], heardMix[MixRunSamples];
    MixTargets to;
    to.all = mix;
    if constexpr (WithHeard) {
        to.heard = heardMix;
        to.heardMask = mask;
    }
    MixerWalk walk;
    mixer_walk_load(walk);
    while (count > 0) {
        int32_t n = std::min(count, MixRunSamples);
        // A song without played tracks may have no tempo (RowLength 0): silence.
        if (played > 0) {
            mixer_row_steps(walk, 1, played, position);
            n = std::min(n, rowLength - position % rowLength);
        }
        if (played > 0) {
            mixer_mix_tracks(walk, 1, played, position, n, to);
        } else {
            std::fill(mix, mix + n, 0.0f);
            if constexpr (WithHeard)
                std::fill(heardMix, heardMix + n, 0.0f);
        }
        mixer_write_output(mix, out, n);
        out += n;
        if constexpr (WithHeard) {
            mixer_write_output(heardMix, heard, n);
            heard += n;
        }
        position += n;
        count -= n;
    }
    mixer_walk_store(walk);
    SongPosition.store(position, std::memory_order_relaxed);
}

}   // namespace

void synth_render(int16_t* out, int32_t count)
{
    render_runs<false>(out, nullptr, count, AllTracks);
}

#if defined(__EMSCRIPTEN__)
// The browser build has no threads and so no parallel_render.cpp: the
// progress render is synth_render window by window.
void synth_render_progress(int16_t* out, int32_t count, SynthProgress progress, void* context)
{
    for (int32_t done = 0; done < count;) {
        const int32_t n = std::min(PeakWindowSamples, count - done);
        synth_render(out + done, n);
        done += n;
        progress(context, done);
    }
}
#endif

void synth_render_heard(int16_t* out, int16_t* heard, int32_t count, uint32_t mask)
{
    render_runs<true>(out, heard, count, mask);
}

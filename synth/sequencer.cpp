// Sequencer and mixer: row steps, note replay, echo lines, clamp and scale.
//
// The mix is computed track by track over runs of samples rather than sample
// by sample: within a run no row step happens and each echo index simply
// counts up, so the two remainders per track and sample disappear. Every
// sample's sum is still 0.0 + v1 + v2 + ... in track order, in single
// precision, so the result is bit-identical to mixing one sample at a time.
//
// A run has two stages: the playing notes are read first (read_notes: the
// instrument's samples at each sample's read position, up to four tracks side
// by side), then each track goes through its echo line into the sums,
// vectorized along the run (echo_track). A track whose echo line was never
// fed holds +0.0 there and adds only its note (deliver_dry).
#include "synth/synth.h"

#include "playback/playback.h"
#include "synth/mixer.h"
#include "synth/note_table.h"
#include "synth/song.h"

#include <algorithm>
#include <cmath>

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

}   // namespace

void mixer_row_step(int32_t t)
{
    Voice& voice = Synth.voices[t];
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

namespace {

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

// The note part of a run, read for up to four playing tracks side by side.
// A note's read position is a chain of additions, playPos + step, one per
// sample, so one track's note costs an addition's latency per sample; four
// tracks in the lanes of one vector run four chains for the price of one.
// Each lane still makes its own track's sequence of single-precision sums,
// exactly as one track alone would.
constexpr int32_t NoteLanes = 4;

struct NoteRead {
    int32_t count = 0;                     // lanes in use
    int32_t track[NoteLanes] = {};
    int32_t sounded[NoteLanes] = {};       // samples the note sounded in the run (n: still playing)
    float dry[NoteLanes][MixRunSamples];   // the instrument's samples at the read positions
};

// A lane that reads nothing sits at 0.0 with step 0 and end 0.0, so it
// stays there, always counts as ended, and reads Silent[0], a 0.0.
constexpr float Silent[1] = {0.0f};

void read_notes_scalar(NoteRead& read, int32_t lane, int32_t n)
{
    Voice& voice = Synth.voices[read.track[lane]];
    const Instrument& ins = Song.instruments[read.track[lane]];
    const float* samples = ins.samples.data();
    const float end = float(ins.sampleLength);
    const float slide = voice.slide;
    float* dry = read.dry[lane];
    float playPos = voice.playPos;
    float step = voice.step;
    int32_t k = 0;
    while (k < n) {
        dry[k] = samples[int32_t(playPos)];
        ++k;
        playPos = playPos + step;
        step = step + slide;
        if (playPos >= end || playPos < 0.0f) {
            playPos = -1.0f;
            break;
        }
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
            const Voice& voice = Synth.voices[read.track[lane]];
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
                Voice& voice = Synth.voices[read.track[lane]];
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
        Voice& voice = Synth.voices[read.track[lane]];
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
template <bool Store>
[[gnu::always_inline]] inline void echo_track_body(int32_t t, int32_t position, const float* dry,
                                                   int32_t sounded, float volume, bool echoOn, float* mix,
                                                   int32_t n)
{
    Instrument& ins = Song.instruments[t];
    const int32_t echoLength = Song.EchoLength;
    float* echo = ins.echoLine.data();
    int32_t write = position % echoLength;
    int32_t i = 0;
    while (i < n) {
        // Slot `write` is refilled from slot write + 1; at the line's last
        // slot the read wraps to slot 0, a run of one sample.
        float* at = echo + write;
        int32_t run;
        float wrapped[2];
        if (write == echoLength - 1) {
            run = 1;
            wrapped[1] = echo[0];
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
            echo[write] = wrapped[0];
        i += run;
        write = write + run == echoLength ? 0 : write + run;
    }
}

template <bool Store>
void echo_track_base(int32_t t, int32_t position, const float* dry, int32_t sounded, float volume, bool echoOn, float* mix, int32_t n)
{
    echo_track_body<Store>(t, position, dry, sounded, volume, echoOn, mix, n);
}

#if defined(SYNTH_AVX2)
template <bool Store>
__attribute__((target("avx2"))) void echo_track_avx2(int32_t t, int32_t position, const float* dry,
                                                     int32_t sounded, float volume, bool echoOn, float* mix, int32_t n)
{
    echo_track_body<Store>(t, position, dry, sounded, volume, echoOn, mix, n);
}

template <bool Store>
SYNTH_AVX512_TARGET void echo_track_avx512(int32_t t, int32_t position, const float* dry, int32_t sounded, float volume, bool echoOn,
                                           float* mix, int32_t n)
{
    echo_track_body<Store>(t, position, dry, sounded, volume, echoOn, mix, n);
}
#endif

template <bool Store>
void echo_track(int32_t t, int32_t position, const float* dry, int32_t sounded, float volume, bool echoOn, float* mix, int32_t n)
{
#if defined(SYNTH_AVX2)
    if (has_avx512()) {
        echo_track_avx512<Store>(t, position, dry, sounded, volume, echoOn, mix, n);
        return;
    }
    if (has_avx2()) {
        echo_track_avx2<Store>(t, position, dry, sounded, volume, echoOn, mix, n);
        return;
    }
#endif
    echo_track_base<Store>(t, position, dry, sounded, volume, echoOn, mix, n);
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

// A track whose echo line holds only +0.0 and stays so: its v is 0.0 plus
// the note at its volume, and 0.0 after the note. Adding 0.0 + x to a sum
// is adding x (a sum from +0.0 is never -0.0: mixer.h), so the note alone is
// added and the rest of the run adds nothing; the line is left as it is, as
// recirculating +0.0 would leave it.
void deliver_dry(int32_t t, const float* dry, int32_t sounded, float volume, bool heard, const MixTargets& to)
{
    if (to.all)
        for (int32_t k = 0; k < sounded; ++k)
            to.all[k] += dry[k] * volume;
    if (heard)
        for (int32_t k = 0; k < sounded; ++k)
            to.heard[k] += dry[k] * volume;
    if (to.peaks) {
        float peak = to.peaks[t];
        for (int32_t k = 0; k < sounded; ++k)
            peak = std::max(peak, std::fabs(dry[k] * volume));
        to.peaks[t] = peak;
    }
}

// Track t through its echo line into the targets.
void deliver_track(int32_t t, int32_t position, const float* dry, int32_t sounded, int32_t n, float volume,
                   bool echoOn, const MixTargets& to)
{
    const bool heard = to.heard && (to.heardMask >> t & 1u);
    Instrument& ins = Song.instruments[t];
    if (!ins.echoFed) {
        if (!echoOn || sounded == 0) {
            deliver_dry(t, dry, sounded, volume, heard, to);
            return;
        }
        ins.echoFed = true;
    }
    // Into one sum and nothing else (synth_render, the two-thread render
    // without peaks): straight into it.
    float* only = to.peaks ? nullptr : to.all && !heard ? to.all : !to.all && heard ? to.heard : nullptr;
    if (only) {
        echo_track<false>(t, position, dry, sounded, volume, echoOn, only, n);
        return;
    }
    float v[MixRunSamples];
    echo_track<true>(t, position, dry, sounded, volume, echoOn, v, n);
    if (to.all)
        for (int32_t k = 0; k < n; ++k)
            to.all[k] += v[k];
    if (heard)
        for (int32_t k = 0; k < n; ++k)
            to.heard[k] += v[k];
    if (to.peaks)
        to.peaks[t] = std::max(to.peaks[t], peak_of(v, n));
}

}   // namespace

void mixer_mix_tracks(int32_t first, int32_t last, int32_t position, int32_t n, const MixTargets& to)
{
    // Tracks go through their echo lines in order; the playing ones have
    // their notes read first, up to four at a time, so a batch reaches as
    // far as its fourth playing track.
    NoteRead read;
    int32_t next = first;   // the first track not yet delivered
    for (int32_t t = first; t <= last + 1; ++t) {
        const bool playing = t <= last && track_has_instrument(t) && Synth.voices[t].playPos >= 0.0f;
        if (playing)
            read.track[read.count++] = t;
        if (read.count < NoteLanes && t <= last)
            continue;
        read_notes(read, n);
        int32_t lane = 0;
        for (; next <= std::min(t, last); ++next) {
            if (!track_has_instrument(next))
                continue;
            const Voice& voice = Synth.voices[next];
            const bool read_here = lane < read.count && read.track[lane] == next;
            deliver_track(next, position, read_here ? read.dry[lane] : nullptr, read_here ? read.sounded[lane] : 0,
                          n, voice.volume, voice.echoOn != 0, to);
            lane += read_here;
        }
        read.count = 0;
    }
}

void mixer_read_tracks(int32_t first, int32_t last, int32_t position, int32_t n, float* const* rows,
                       int32_t offset, NoteRun& run)
{
    run.position = position;
    run.offset = offset;
    run.n = n;
    NoteRead read;
    for (int32_t t = first; t <= last + 1; ++t) {
        if (t <= last) {
            const Voice& voice = Synth.voices[t];
            run.volume[t] = voice.volume;
            run.echoOn[t] = voice.echoOn;
            run.sounded[t] = 0;
            if (track_has_instrument(t) && voice.playPos >= 0.0f)
                read.track[read.count++] = t;
            if (read.count < NoteLanes)
                continue;
        }
        read_notes(read, n);
        for (int32_t lane = 0; lane < read.count; ++lane) {
            const int32_t track = read.track[lane];
            run.sounded[track] = read.sounded[lane];
            std::copy(read.dry[lane], read.dry[lane] + read.sounded[lane], rows[track - first] + offset);
        }
        read.count = 0;
    }
}

void mixer_deliver_tracks(int32_t first, int32_t last, const NoteRun& run, const float* const* rows,
                          const MixTargets& to)
{
    for (int32_t t = first; t <= last; ++t)
        if (track_has_instrument(t))
            deliver_track(t, run.position, run.sounded[t] > 0 ? rows[t - first] + run.offset : nullptr,
                          run.sounded[t], run.n, run.volume[t], run.echoOn[t] != 0, to);
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
    while (count > 0) {
        int32_t n = std::min(count, MixRunSamples);
        // A song without played tracks may have no tempo (RowLength 0): silence.
        if (played > 0) {
            const int32_t intoRow = position % rowLength;
            if (intoRow == 0)
                for (int32_t t = 1; t <= played; ++t)
                    mixer_row_step(t);
            n = std::min(n, rowLength - intoRow);
        }
        std::fill(mix, mix + n, 0.0f);
        if constexpr (WithHeard)
            std::fill(heardMix, heardMix + n, 0.0f);
        if (played > 0)
            mixer_mix_tracks(1, played, position, n, to);
        mixer_write_output(mix, out, n);
        out += n;
        if constexpr (WithHeard) {
            mixer_write_output(heardMix, heard, n);
            heard += n;
        }
        position += n;
        count -= n;
    }
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

// Sequencer and mixer: row steps, note replay, echo lines, clamp and scale.
//
// The mix is computed track by track over runs of samples rather than sample
// by sample: within a run no row step happens and each echo index simply
// counts up, so the two remainders per track and sample disappear. Every
// sample's sum is still 0.0 + v1 + v2 + ... in track order, in single
// precision, so the result is bit-identical to mixing one sample at a time.
#include "synth/synth.h"

#include "playback/playback.h"
#include "synth/mixer.h"
#include "synth/note_table.h"
#include "synth/song.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
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
constexpr int32_t RunSamples = 1024;             // mix buffer size

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

// Where a track's value v goes: added to the mix, or stored as it is into
// a lane of its own (the two-thread render).
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
void mix_idle(float* __restrict echo, float* __restrict mix, int32_t n)
{
    for (int32_t k = 0; k < n; ++k) {
        const float delayed = echo[k + 1];
        echo[k] = float(double(delayed) * EchoFeedback);
        deliver<Store>(mix[k], delayed);
    }
}

// A run of the voice's note; returns how many samples it sounded before it
// ended (n when it is still playing).
template <bool Store>
int32_t mix_note(Voice& voice, const Instrument& ins, float* __restrict echo, float* __restrict mix,
                 int32_t n)
{
    const float* samples = ins.samples.data();
    const float end = float(ins.sampleLength);
    const float volume = voice.volume;
    const float slide = voice.slide;
    const bool echoOn = voice.echoOn != 0;
    float playPos = voice.playPos;
    float step = voice.step;
    int32_t k = 0;
    while (k < n) {
        const float delayed = echo[k + 1];
        const float v = delayed + samples[int32_t(playPos)] * volume;
        echo[k] = echoOn ? float(double(v) * EchoSend) : float(double(delayed) * EchoFeedback);
        deliver<Store>(mix[k], v);
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
    return k;
}

template <bool Store>
void mix_track(int32_t t, int32_t position, float* mix, int32_t n)
{
    Voice& voice = Synth.voices[t];
    Instrument& ins = Song.instruments[t];
    const int32_t echoLength = Song.EchoLength;
    if (ins.sampleLength == 0 || int64_t(ins.echoLine.size()) < echoLength) {
        if constexpr (Store)
            std::fill(mix, mix + n, 0.0f);
        return;   // only in a song the parser rejected: the track is silent
    }
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
        int32_t done = 0;
        if (voice.playPos >= 0.0f)
            done = mix_note<Store>(voice, ins, at, mix + i, run);
        mix_idle<Store>(at + done, mix + i + done, run - done);
        if (at == wrapped)
            echo[write] = wrapped[0];
        i += run;
        write = write + run == echoLength ? 0 : write + run;
    }
}

}   // namespace

void mixer_add_track(int32_t t, int32_t position, float* mix, int32_t n)
{
    mix_track<false>(t, position, mix, n);
}

void mixer_store_track(int32_t t, int32_t position, float* lane, int32_t n)
{
    mix_track<true>(t, position, lane, n);
}


// Clamp to +-6.0 (a NaN becomes -6.0), scale in double precision and
// truncate toward zero. maxps(x, -6) returns -6 when x is NaN and minps(x, 6)
// returns x unless it is above 6, exactly the scalar rule; the products and
// truncations are the same double operations two at a time.
void mixer_write_output(const float* mix, int16_t* out, int32_t n)
{
    int32_t i = 0;
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

// The sequencer's runs: row steps at row boundaries, then each track's sound
// added to the mix in track order. With a heard mix beside it, each track is
// first stored in a lane (0.0 + v, which adds as v does: mixer.h) and the
// lane added to both sums, the heard one only for the tracks in mask; the
// whole mix is then bit for bit synth_render's.
template <bool WithHeard>
void render_runs(int16_t* out, int16_t* heard, int32_t count, uint32_t mask)
{
    if (count <= 0)
        return;
    int32_t position = SongPosition.load(std::memory_order_relaxed);
    const int32_t played = song_played_tracks();
    const int32_t rowLength = Song.RowLength;
    float mix[RunSamples], heardMix[RunSamples], lane[RunSamples];
    while (count > 0) {
        int32_t n = std::min(count, RunSamples);
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
        for (int32_t t = 1; t <= played; ++t) {
            if constexpr (!WithHeard) {
                mixer_add_track(t, position, mix, n);
            } else {
                mixer_store_track(t, position, lane, n);
                for (int32_t k = 0; k < n; ++k)
                    mix[k] += lane[k];
                if (mask >> t & 1u)
                    for (int32_t k = 0; k < n; ++k)
                        heardMix[k] += lane[k];
            }
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
    SongPosition.store(position, std::memory_order_relaxed);
}

}   // namespace

void synth_render(int16_t* out, int32_t count)
{
    render_runs<false>(out, nullptr, count, AllTracks);
}

void synth_render_heard(int16_t* out, int16_t* heard, int32_t count, uint32_t mask)
{
    render_runs<true>(out, heard, count, mask);
}

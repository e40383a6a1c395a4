// Synthesizer: instrument synthesis and the sequencer/mixer.
//
// Owns Synth: the sample rate, the four wave tables (square, sine, sawtooth,
// noise) and the 30 Voice slots, one per track. Instruments are not
// synthesized per note: song_parse (song.h) has instrument_render turn each
// instrument line into a one-shot block of float samples at the base pitch
// SampleRate / WaveTableLength (262.5 Hz at 44100), and synth_render replays
// those blocks resampled to each note's pitch, adds the per-track echo lines,
// clamps the mix to +-6.0 and scales it to 16 bits.
//
// Order of calls: synth_init(44100) (also empties the Song's tracks and
// zeroes SongPosition) or synth_reset(), song_parse(text) (or score_load,
// score_file.h), then
// synth_render(out, n) as often as wanted. The output does not depend on how
// the samples are split into calls: all state lives between calls.
#pragma once

#include <cstdint>
#include <vector>

inline constexpr int32_t WaveSquare = 0;
inline constexpr int32_t WaveSine = 1;
inline constexpr int32_t WaveSaw = 2;
inline constexpr int32_t WaveNoise = 3;

inline constexpr int32_t BaseDivisor = 262;        // WaveTableLength = SampleRate / 262
inline constexpr int32_t MaxVoices = 30;           // one per track; voice 0 never plays

// Voice.entryIndex before its track's first entry and after its end (not
// the track's own TrackEnd marker, which is a pattern-table value).
inline constexpr int32_t VoiceNotStarted = -1;
inline constexpr int32_t VoiceFinished = -2;

// One voice per track: the note being replayed and the track's place in its
// play list. Start values are those synth_init gives every slot.
struct Voice {
    int32_t entryIndex = VoiceNotStarted;   // current track entry, or VoiceNotStarted / VoiceFinished
    int32_t rowIndex = -1;     // current cell of the current pattern
    float playPos = -1.0f;     // read position in the instrument's samples; < 0: silent
    float step = 0.0f;         // added to playPos per output sample (note value / 262)
    float slide = 0.0f;        // added to step per output sample while playing ("sld")
    float volume = 1.0f;       // gain of the dry note ("vol"); 1.0 is exact unity
    uint8_t echoOn = 0;        // 1 while the note is fed into the track's echo line
};

struct SynthState {
    int32_t SampleRate = 0;
    int32_t WaveTableLength = 0;                 // one period of square, sine, saw
    std::vector<float> WaveTable[4];             // indexed by waveform; noise has SampleRate entries
    Voice voices[MaxVoices];
};
inline SynthState Synth;   // the one instance

// Prepares the synthesizer for a sample rate (at least BaseDivisor): note
// values, wave tables, voices and tracks reset, SongPosition = 0.
void synth_init(int32_t sampleRate);

// A fresh synthesizer and song, as at program start, then
// synth_init(SongSampleRate): what comes before reading each score.
void synth_reset();

// Renders instrument `instrument` of the Song into its samples, which the
// parser has sized to sampleLength. Envelope lengths must be >= 0 and not
// both attack and release 0 (the parser refuses such lines).
void instrument_render(int32_t attack, int32_t decay, int32_t sustain, int32_t release,
                       int32_t modRate, int32_t sweep, int32_t instrument, int32_t waveform);

// Renders count mono samples at out and advances SongPosition by count.
// Requires synth_init and a successful song_parse.
void synth_render(int16_t* out, int32_t count);

inline constexpr uint32_t AllTracks = ~0u;
inline constexpr int32_t PeakWindowSamples = 1024;

// synth_render on two threads (native builds only; the browser build has no
// threads): the calling thread and the second core (playback/second_core.h)
// take turns at blocks of the song, each rendering every track of its block
// and summing them in track order, so with heard = AllTracks every sample is
// bit-identical to synth_render's. Until the second core has woken, and on
// a machine whose other core is busy, the calling thread renders alone. heard: bit t set puts
// track t in the mix; a track left out is rendered all the same (its voice
// and echo go on) but adds nothing, exactly as if it were silent.
// peaks, when not null, has room for ceil(count / PeakWindowSamples) *
// MaxVoices floats and receives, for window w of out and track t, the
// largest magnitude of the track's sound (mix units, 6.0 = full scale) at
// peaks[w * MaxVoices + t], heard or not.
void synth_render_parallel(int16_t* out, int32_t count, uint32_t heard = AllTracks, float* peaks = nullptr);

// What synth_render_progress reports: the first `done` samples of out are
// final. Called on the thread that called the render.
using SynthProgress = void (*)(void* context, int32_t done);

// synth_render_parallel with every track heard and no peaks, calling
// progress(context, done) as the output completes, in order: after each
// PeakWindowSamples samples and at the end. The browser build, which has no
// threads, renders on one thread with the same calls; the samples are
// synth_render's either way.
void synth_render_progress(int16_t* out, int32_t count, SynthProgress progress, void* context);

// synth_render with a second output, on one thread (the browser's studio):
// out gets the whole mix, bit for bit synth_render's, and heard the mix of
// the tracks whose bit is set in mask, bit for bit synth_render_parallel's
// with that mask.
void synth_render_heard(int16_t* out, int16_t* heard, int32_t count, uint32_t mask);

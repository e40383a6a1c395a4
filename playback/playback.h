// Playback: the demo's time base, shared by every subsystem.
//
// Owns the SongBuffer (the whole pre-rendered song), SongPosition (the one
// counter of song progress, in samples), QuitRequested (the flag that ends the
// frame loop), the playback clock, and the SDL audio callback that plays the
// SongBuffer. Nothing here includes SDL: the callback has SDL 1.2's signature
// with plain integer types, so the library is usable headless.
//
// Order of use: the sequencer advances SongPosition while the song is
// pre-rendered into SongBuffer; the driver resets SongPosition to 0, unpauses
// audio and reads playback_clock_ms() once (its zero); from then on the audio
// thread runs song_audio_callback() and the main thread reads SongPosition
// (via song_bar) and the clock.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int32_t SongSampleRate = 44100;        // of every sample the programs make or play
inline constexpr int32_t SongBufferMinSamples = 5292000;                 // 120 s: the embedded song's
inline constexpr int32_t SongBufferCapacity = 600 * SongSampleRate;     // 10 minutes, the longest song
inline constexpr int32_t LevelWindowSamples = 1024;

// The pre-rendered song, mono, native byte order. Written only before
// playback. Only its first SongBufferSamples are the song: 120 s, or as long
// as a slower score needs (set by the start-up before the pre-render).
inline int16_t SongBuffer[SongBufferCapacity];
inline int32_t SongBufferSamples = SongBufferMinSamples;

// Last start of a full level window inside the song.
inline int32_t level_window_last_start()
{
    return SongBufferSamples - LevelWindowSamples;
}

// Sample counter: the sequencer's clock while pre-rendering, the index of the
// next sample to hand to the audio device during the show. Only the audio
// thread writes it during the show; relaxed ordering suffices because every
// write to SongBuffer happens before the audio device is unpaused.
inline std::atomic<int32_t> SongPosition{0};

// Non-zero ends the frame loop. Main thread only (input events, the show's end).
inline int32_t QuitRequested = 0;

struct PlaybackClock {
    int64_t start = -1;   // microseconds of the first reading; -1: not started
};
inline PlaybackClock Clock;

// The tempo the bars are counted at: beats per second, formed in double as
// 11025 / RowLength (four rows a beat), which is exactly 125/60 for the
// embedded score's 5292-sample rows.
struct BarClockState {
    double beatsPerSecond = 2.0833333333333335;
};
inline BarClockState BarClock;

// The clock of a score with rowLength samples a row; a score without a tempo
// (rowLength 0) keeps the embedded score's 125 bpm.
BarClockState bar_clock_for(int32_t rowLength);
// Counts bars at a score's tempo from now on: BarClock = bar_clock_for(rowLength).
void song_bar_follow(int32_t rowLength);

// Bar number of a sample position at the bar clock's tempo with a 0.3-beat
// offset: every position before beat 4.3 is bar 0.
int32_t song_bar(int32_t position);
// The same at another clock (a tool holding scores of several tempos).
int32_t song_bar_at(const BarClockState& clock, int32_t position);

// The first sample whose bar is at least bar (0 for bars up to 0).
int32_t song_bar_start(int32_t bar);
int32_t song_bar_start_at(const BarClockState& clock, int32_t bar);

// SDL 1.2 audio callback: copies SongBuffer samples from SongPosition to both
// channels of the stream and advances SongPosition by the frames delivered.
// Frames past the end of the SongBuffer are silence and do not advance it.
void song_audio_callback(void* userdata, uint8_t* stream, int len);

// Milliseconds since the first call (which returns 0), from a monotonic clock,
// as the low 32 bits of the count.
uint32_t playback_clock_ms();

// First sample of the 1024-sample level window for a show time: the sample
// playing elapsedMs after playback started (elapsed * 44.1, in the unsigned
// 32-bit arithmetic of the byte offset elapsed * 441 / 5), held at
// level_window_last_start() so the window never leaves the song.
uint32_t level_window_start(uint32_t elapsedMs);

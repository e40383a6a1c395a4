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
inline constexpr int32_t SongBufferSamples = 5292000;   // 120 s at 44100 Hz
inline constexpr int32_t LevelWindowSamples = 1024;
// Last start of a full level window inside the SongBuffer.
inline constexpr int32_t LevelWindowLastStart = SongBufferSamples - LevelWindowSamples;

// The pre-rendered song, mono, native byte order. Written only before playback.
inline int16_t SongBuffer[SongBufferSamples];

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

// Bar number of a sample position at a fixed 125 beats per minute with a
// 0.3-beat offset: every position before beat 4.3 is bar 0.
int32_t song_bar(int32_t position);

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
// LevelWindowLastStart so the window never leaves the SongBuffer.
uint32_t level_window_start(uint32_t elapsedMs);

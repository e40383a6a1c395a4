#include "playback/playback.h"

#include <algorithm>
#include <chrono>
#include <cstring>

BarClockState bar_clock_for(int32_t rowLength)
{
    BarClockState clock;
    if (rowLength > 0)
        clock.beatsPerSecond = 11025.0 / double(rowLength);
    return clock;
}

void song_bar_follow(int32_t rowLength)
{
    BarClock = bar_clock_for(rowLength);
}

int32_t song_bar_at(const BarClockState& clock, int32_t position)
{
    // seconds is rounded to single precision before the beat arithmetic,
    // which is done in double: the bar boundaries depend on both roundings.
    float seconds = float(double(position) * (1.0 / double(SongSampleRate)));
    double beats = double(seconds) * clock.beatsPerSecond - 0.3;
    return int32_t(beats * 0.25);
}

int32_t song_bar(int32_t position)
{
    return song_bar_at(BarClock, position);
}

int32_t song_bar_start_at(const BarClockState& clock, int32_t bar)
{
    // Bars never fall as the position grows: bisect for the first position
    // that reaches bar.
    int64_t low = 0, high = INT32_MAX;
    while (low < high) {
        const int64_t mid = low + (high - low) / 2;
        if (song_bar_at(clock, int32_t(mid)) >= bar)
            high = mid;
        else
            low = mid + 1;
    }
    return int32_t(low);
}

int32_t song_bar_start(int32_t bar)
{
    return song_bar_start_at(BarClock, bar);
}

void song_audio_callback(void*, uint8_t* stream, int len)
{
    int32_t frames = len / 4;
    if (frames <= 0)
        return;
    int32_t pos = SongPosition.load(std::memory_order_relaxed);
    int32_t available = pos < SongBufferSamples ? SongBufferSamples - std::max(pos, 0) : 0;
    int32_t played = std::min(frames, available);
    int16_t frame[2];
    for (int32_t i = 0; i < played; ++i) {
        frame[0] = frame[1] = SongBuffer[pos + i];
        std::memcpy(stream + 4 * i, frame, 4);
    }
    // Past the end of the song there is only silence, and the position stays
    // at the capacity so the reader never walks off the buffer.
    std::memset(stream + 4 * played, 0, size_t(frames - played) * 4);
    SongPosition.store(pos + played, std::memory_order_relaxed);
}

uint32_t playback_clock_ms()
{
    // A monotonic clock: changing the system time must not move the show.
    int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    if (Clock.start == -1)
        Clock.start = now;
    return uint32_t(uint64_t(now - Clock.start) / 1000u);
}

uint32_t level_window_start(uint32_t elapsedMs)
{
    // The byte offset is formed in unsigned 32 bits and rounded down to a
    // whole sample, exactly as a pointer offset into 16-bit samples.
    uint32_t byteOffset = (elapsedMs * 441u / 5u) & ~1u;
    return std::min(byteOffset / 2u, uint32_t(level_window_last_start()));
}

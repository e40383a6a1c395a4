// Shared set-up for the show's unit tests: a fresh show, a fresh recording
// pipeline, and song positions for chosen bars.
#pragma once

#include "playback/playback.h"
#include "show/levels.h"
#include "show/ribbon.h"
#include "show/timeline.h"
#include "tests/show/fake_r3d.h"

#include <gtest/gtest.h>

// First sample whose bar is bar (song_bar never decreases).
inline int32_t first_sample_of_bar(int32_t bar)
{
    int32_t low = 0, high = SongBufferSamples;
    while (low < high) {
        int32_t mid = low + (high - low) / 2;
        if (song_bar(mid) >= bar)
            high = mid;
        else
            low = mid + 1;
    }
    return low;
}

class ShowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Show = ShowState{};
        Ribbon = RibbonState{};
        Levels = LevelState{};
        Fake = FakeR3d{};
        QuitRequested = 0;
        SongPosition.store(0, std::memory_order_relaxed);
    }
    void TearDown() override
    {
        QuitRequested = 0;
        SongPosition.store(0, std::memory_order_relaxed);
    }

    static void at_bar(int32_t bar) { SongPosition.store(first_sample_of_bar(bar), std::memory_order_relaxed); }

    static int count_batches(int mode)
    {
        int n = 0;
        for (const FakeBatch& b : Fake.batches)
            n += b.mode == mode;
        return n;
    }

    uint8_t pixels[640 * 480] = {};
};

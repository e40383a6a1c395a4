// The literal sequencer: every rule applied per output sample, no shortcuts.
#include "synth_test_support.h"

void synth_render_literal(int16_t* out, int32_t count)
{
    for (int32_t i = 0; i < count; ++i) {
        const int32_t P = SongPosition.load(std::memory_order_relaxed);
        int32_t tracks = 1;
        while (tracks < MaxTracks && Song.tracks[tracks][0] != TrackEnd)
            ++tracks;

        if (tracks > 1 && P % Song.RowLength == 0) {
            for (int32_t t = 1; t < tracks; ++t) {
                Voice& V = Synth.voices[t];
                const Track& track = Song.tracks[t];
                if (V.entryIndex == -2)
                    continue;
                V.rowIndex = V.rowIndex + 1;
                if (V.entryIndex == -1 ||
                    Song.patterns[track[V.entryIndex]][V.rowIndex] == PatternEnd) {
                    V.entryIndex = V.entryIndex + 1;
                    if (track[V.entryIndex] == TrackLoop)
                        V.entryIndex = 0;
                    if (track[V.entryIndex] == TrackEnd)
                        V.entryIndex = -2;
                    V.rowIndex = 0;
                }
                if (V.entryIndex == -2)
                    continue;
                const Pattern& pattern = Song.patterns[track[V.entryIndex]];
                const int32_t c = pattern[V.rowIndex];
                if (c == 0) {
                } else if (c == -8) {
                    V.rowIndex = V.rowIndex + 1;
                    V.slide = float(double(pattern[V.rowIndex]) * 0.00001);
                } else if (c == -7) {
                    V.rowIndex = V.rowIndex + 1;
                    V.volume = float(double(pattern[V.rowIndex]) * 0.01);
                } else if (c == -6) {
                    V.playPos = -1.0f;
                } else if (c == -5) {
                    V.echoOn = 0;
                } else if (c == -4) {
                    V.echoOn = 1;
                } else {
                    V.playPos = 0.0f;
                    V.step = float(c) * (1.0f / 262.0f);
                }
            }
        }

        float sum = 0.0f;
        for (int32_t t = 1; t < tracks; ++t) {
            Voice& V = Synth.voices[t];
            Instrument& I = Song.instruments[t];
            const int32_t E = Song.EchoLength;
            const float delayed = I.echoLine[(P + 1) % E];
            I.echoLine[P % E] = float(double(delayed) * 0.6);
            float v = delayed;
            if (V.playPos >= 0.0f) {
                v = v + I.samples[int32_t(V.playPos)] * V.volume;
                if (V.echoOn != 0)
                    I.echoLine[P % E] = float(double(v) * 0.2);
                V.playPos = V.playPos + V.step;
                V.step = V.step + V.slide;
                if (V.playPos >= float(I.sampleLength) || V.playPos < 0.0f)
                    V.playPos = -1.0f;
            }
            sum = sum + v;
        }
        if (sum < -6.0f || sum != sum)
            sum = -6.0f;
        else if (sum > 6.0f)
            sum = 6.0f;
        out[i] = int16_t(int32_t(double(sum) * 5461.166666666666));
        SongPosition.store(P + 1, std::memory_order_relaxed);
    }
}

#include "look.h"

#include "playback/playback.h"
#include "show/script.h"
#include "synth/score_file.h"
#include "song_tool.h"
#include "synth/synth.h"
#include "take.h"
#include "tools/common/exit_status.h"
#include "tools/common/font.h"
#include "tools/common/output_file.h"
#include "tools/common/png_file.h"
#include "tools/common/signals.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>

namespace {

constexpr int32_t Left = 44, Right = 12;
constexpr int32_t RulerHeight = 20, ShowStripHeight = 14, MixLaneHeight = 72, SpectrumHeight = 128, Gap = 6;
constexpr int32_t FftSize = 1024;
constexpr int32_t TextScale = 1;   // the tools' 5 x 7 font, one pixel a font pixel
constexpr int32_t TextHeight = FontGlyphHeight * TextScale;

struct Rgb {
    uint8_t r, g, b;
};
constexpr Rgb Background{16, 19, 24}, LaneA{24, 28, 35}, LaneB{29, 34, 42}, BarLine{48, 55, 66},
    BarLine4{78, 88, 104}, Text{170, 180, 195}, ShowMark{236, 200, 60}, Clip{235, 50, 45}, MixColour{205, 215, 230};
constexpr Rgb ShowEnd{240, 240, 240};
// One colour per track, repeating after ten.
constexpr int32_t TrackColourCount = 10;
constexpr Rgb TrackColours[TrackColourCount] = {{92, 170, 255}, {255, 140, 80},  {120, 220, 140}, {230, 110, 200},
                                                {250, 210, 90}, {100, 215, 220}, {190, 150, 255}, {255, 120, 120},
                                                {160, 200, 90}, {255, 170, 210}};

struct Canvas {
    LookImage& image;
    void put(int32_t x, int32_t y, Rgb c)
    {
        if (x < 0 || y < 0 || x >= image.width || y >= image.height)
            return;
        uint8_t* p = image.rgb.data() + (size_t(y) * size_t(image.width) + size_t(x)) * 3;
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }
    void fill(int32_t x, int32_t y, int32_t w, int32_t h, Rgb c)
    {
        for (int32_t j = y; j < y + h; ++j)
            for (int32_t i = x; i < x + w; ++i)
                put(i, j, c);
    }
    // Text with its top left corner at (x, y).
    void text(int32_t x, int32_t y, const std::string& s, Rgb c)
    {
        font_draw(s, x, y, TextScale, [&](int32_t px, int32_t py) { put(px, py, c); });
    }
};

// Where everything goes: the rows of the picture from top to bottom, and the
// plot's columns as samples of the take.
struct Layout {
    int32_t tracks = 0;
    int32_t plotWidth = LookWidth - Left - Right;
    int32_t mixTop = RulerHeight + ShowStripHeight + Gap;
    int32_t lanesTop = mixTop + MixLaneHeight + Gap;
    int32_t spectrumTop = 0;
    int32_t height = 0;
    int32_t start = 0;    // the first sample drawn
    int32_t length = 1;   // samples drawn, at least one

    Layout(const Take& take, const LookRange& range)
        : tracks(take.played), spectrumTop(lanesTop + tracks * LookTrackLaneHeight + Gap),
          height(spectrumTop + SpectrumHeight + Gap), start(std::min(range.start, take.length())),
          length(std::max(std::min(range.end, take.length()) - start, 1))
    {
    }
    int32_t column_of(int64_t sample) const { return Left + int32_t((sample - start) * plotWidth / length); }
    int32_t first_sample(int32_t x) const { return start + int32_t(int64_t(x) * length / plotWidth); }
    bool shows(int64_t sample) const { return sample >= start && sample <= int64_t(start) + length; }
    int32_t lane_top(int32_t track) const { return lanesTop + (track - 1) * LookTrackLaneHeight; }
};

// Radix-2 FFT in place; n is a power of two.
void fft(std::vector<std::complex<double>>& a)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2.0 * M_PI / double(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> wk = 1.0;
            for (size_t k = 0; k < len / 2; ++k, wk *= w) {
                const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * wk;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

// Dark blue through magenta and orange to pale yellow, for 0..1.
Rgb heat(double v)
{
    static const Rgb stops[] = {{10, 12, 20}, {40, 30, 110}, {150, 40, 140}, {235, 110, 50}, {255, 235, 160}};
    v = std::clamp(v, 0.0, 1.0) * 4.0;
    const int32_t i = std::min(int32_t(v), 3);
    const double f = v - i;
    auto mix = [f](uint8_t a, uint8_t b) { return uint8_t(a + (b - a) * f); };
    return {mix(stops[i].r, stops[i + 1].r), mix(stops[i].g, stops[i + 1].g), mix(stops[i].b, stops[i + 1].b)};
}

// 0 for silence up to 1 for full scale, over 36 dB.
double level(double peak)
{
    return peak > 0 ? std::clamp((20.0 * std::log10(peak / 6.0) + 36.0) / 36.0, 0.0, 1.0) : 0.0;
}

// The lanes' backgrounds and their names at the left.
void draw_lanes(Canvas& canvas, const Layout& layout)
{
    canvas.fill(Left, layout.mixTop, layout.plotWidth, MixLaneHeight, LaneB);
    canvas.text(4, layout.mixTop + (MixLaneHeight - TextHeight) / 2, "mix", Text);
    canvas.text(4, RulerHeight + (ShowStripHeight - TextHeight) / 2, "show", ShowMark);
    for (int32_t t = 1; t <= layout.tracks; ++t) {
        const int32_t y = layout.lane_top(t);
        canvas.fill(Left, y, layout.plotWidth, LookTrackLaneHeight - 2, t % 2 ? LaneA : LaneB);
        canvas.text(8, y + (LookTrackLaneHeight - 2 - TextHeight) / 2, std::to_string(t),
                    TrackColours[(t - 1) % TrackColourCount]);
    }
    canvas.text(4, layout.spectrumTop + (SpectrumHeight - TextHeight) / 2, "fft", Text);
}

// The smallest step of 1, 2, 4, 16, 64 ... bars at which labels of width
// pixels stand apart on average over bars bars.
int32_t label_step(int32_t bars, int32_t width, int32_t plotWidth)
{
    int32_t step = 1;
    while (int64_t(step) * plotWidth < int64_t(width) * bars)
        step = step == 1 ? 2 : step == 2 ? 4 : step * 4;
    return step;
}

// Bar lines under everything else, numbers on the ruler: the show's bars at
// the score's tempo. A score without a tempo has no bars; a fast one has
// more bars than columns, so lines and numbers thin out to every 4th, 16th
// ... bar. A number's width in the font, and a gap, decides how many bars
// lie between two numbers, so that they never overlap.
void draw_bars(Canvas& canvas, const Layout& layout, const Take& take)
{
    if (take.rowLength <= 0)
        return;
    const int32_t first = take.bar_of(layout.start), last = take.bar_of(layout.start + layout.length - 1);
    const int32_t bars = last - first + 1;
    const std::string widest = std::to_string(last);
    const int32_t labelEvery = label_step(bars, font_text_width(widest, TextScale) + 4, layout.plotWidth);
    int32_t lineEvery = 1;
    while (int64_t(lineEvery) * layout.plotWidth < int64_t(3) * bars)
        lineEvery *= 4;
    for (int32_t b = (first + lineEvery - 1) / lineEvery * lineEvery; b <= last; b += lineEvery) {
        if (!layout.shows(take.bar_start(b)))
            continue;
        const int32_t x = layout.column_of(take.bar_start(b));
        const Rgb line = b % (4 * lineEvery) == 0 ? BarLine4 : BarLine;
        for (int32_t y = RulerHeight - 4; y < layout.spectrumTop - Gap; ++y)
            canvas.put(x, y, line);
        if (b % labelEvery == 0)
            canvas.text(x + 2, (RulerHeight - 4 - TextHeight) / 2, std::to_string(b), Text);
    }
}

// The show's own keyframe rows (yellow) and its end (white).
void draw_show_marks(Canvas& canvas, const Layout& layout, const Take& take, const ShowScriptState& script)
{
    for (int32_t row = 0; row <= script.rows; ++row) {
        const int32_t bar = row < script.rows ? script.keyframes[row].firstBar : script.endBar;
        if (!layout.shows(take.bar_start(bar)))
            continue;
        const int32_t x = layout.column_of(take.bar_start(bar));
        for (int32_t k = 0; k < 6; ++k)
            canvas.fill(x - 5 + k, RulerHeight + k, 11 - 2 * k, 1, row < script.rows ? ShowMark : ShowEnd);
        for (int32_t y = RulerHeight + 6; y < layout.spectrumTop - Gap; y += 3)
            canvas.put(x, y, ShowMark);
    }
}

// The mix: its waveform from the samples, a red column where it clips.
void draw_mix(Canvas& canvas, const Layout& layout, const Take& take)
{
    const int32_t mixMid = layout.mixTop + MixLaneHeight / 2;
    for (int32_t x = 0; x < layout.plotWidth; ++x) {
        const int32_t from = layout.first_sample(x), to = std::max(layout.first_sample(x + 1), from + 1);
        int32_t low = 0, high = 0;
        for (int32_t i = from; i < std::min(to, take.length()); ++i) {
            low = std::min<int32_t>(low, take.samples[size_t(i)]);
            high = std::max<int32_t>(high, take.samples[size_t(i)]);
        }
        const int32_t top = mixMid - high * (MixLaneHeight / 2 - 1) / 32766;
        const int32_t bottom = mixMid - low * (MixLaneHeight / 2 - 1) / 32766;
        canvas.fill(Left + x, top, 1, std::max(bottom - top, 1), MixColour);
        // Clipping: red where the waveform meets the limit.
        if (high >= 32766)
            canvas.fill(Left + x, top - 1, 1, 5, Clip);
        if (low <= -32766)
            canvas.fill(Left + x, bottom - 4, 1, 5, Clip);
    }
}

// Each track's level envelope from the take's peaks.
void draw_track_levels(Canvas& canvas, const Layout& layout, const Take& take)
{
    const size_t windows = take.peaks.size() / MaxVoices;
    for (int32_t t = 1; t <= layout.tracks; ++t) {
        const int32_t mid = layout.lane_top(t) + (LookTrackLaneHeight - 2) / 2;
        const Rgb colour = TrackColours[(t - 1) % TrackColourCount];
        for (int32_t x = 0; x < layout.plotWidth; ++x) {
            const size_t w0 = size_t(layout.first_sample(x)) / PeakWindowSamples;
            const size_t w1 = std::max(size_t(layout.first_sample(x + 1)) / PeakWindowSamples, w0 + 1);
            float peak = 0;
            for (size_t w = w0; w < std::min(w1, windows); ++w)
                peak = std::max(peak, take.peaks[w * MaxVoices + size_t(t)]);
            const int32_t half = int32_t(level(peak) * ((LookTrackLaneHeight - 2) / 2 - 1) + 0.5);
            if (half > 0)
                canvas.fill(Left + x, mid - half, 1, 2 * half + 1, colour);
        }
    }
}

// Spectrogram of the mix: a Hann-windowed FFT per column, log frequency.
void draw_spectrogram(Canvas& canvas, const Layout& layout, const Take& take)
{
    std::vector<std::complex<double>> bins(FftSize);
    std::vector<double> magnitude(FftSize / 2);
    const double lowHz = 40, highHz = 16000, binHz = 44100.0 / FftSize;
    for (int32_t x = 0; x < layout.plotWidth; ++x) {
        const int32_t centre = (layout.first_sample(x) + layout.first_sample(x + 1)) / 2;
        for (int32_t k = 0; k < FftSize; ++k) {
            const int32_t i = centre - FftSize / 2 + k;
            const double s = i >= 0 && i < take.length() ? take.samples[size_t(i)] / 32768.0 : 0.0;
            bins[size_t(k)] = s * (0.5 - 0.5 * std::cos(2.0 * M_PI * k / (FftSize - 1)));
        }
        fft(bins);
        for (int32_t k = 0; k < FftSize / 2; ++k)
            magnitude[size_t(k)] = std::abs(bins[size_t(k)]) / (FftSize / 4);
        for (int32_t y = 0; y < SpectrumHeight; ++y) {
            const double f0 = lowHz * std::pow(highHz / lowHz, double(SpectrumHeight - 1 - y) / SpectrumHeight);
            const double f1 = lowHz * std::pow(highHz / lowHz, double(SpectrumHeight - y) / SpectrumHeight);
            double m = 0;
            for (int32_t k = int32_t(f0 / binHz); k <= int32_t(f1 / binHz) && k < FftSize / 2; ++k)
                m = std::max(m, magnitude[size_t(k)]);
            const double db = m > 0 ? 20.0 * std::log10(m) : -200.0;
            canvas.put(Left + x, layout.spectrumTop + y, heat((db + 80.0) / 75.0));
        }
    }
}

// --bars A:B: from the start of bar A to the start of bar B, within the take.
int look_bars(const std::string& text, const Take& take, LookRange& range, std::string& message)
{
    int64_t first = 0, end = 0;
    if (take_read_bars("--bars", text, first, end, message) < 0)
        return -1;
    const int64_t last = take.bar_of(take.length() - 1);
    if (take.rowLength <= 0 || end > last + 1) {
        message = "--bars " + text + ": past the end; the score's bars are 0 to " + std::to_string(last) +
                  ", so give A:B with 0 <= A < B <= " + std::to_string(last + 1);
        return -1;
    }
    range.start = take.bar_start(first);
    range.end = take.bar_start(end);
    return 0;
}

}   // namespace

LookImage look_draw(const Take& take, const ShowScriptState& script, const LookRange& range)
{
    const Layout layout(take, range);
    LookImage image;
    image.width = LookWidth;
    image.height = layout.height;
    image.rgb.resize(size_t(image.width) * size_t(image.height) * 3);
    Canvas canvas{image};
    canvas.fill(0, 0, image.width, image.height, Background);
    draw_lanes(canvas, layout);
    draw_bars(canvas, layout, take);
    draw_show_marks(canvas, layout, take, script);
    draw_mix(canvas, layout, take);
    draw_track_levels(canvas, layout, take);
    draw_spectrogram(canvas, layout, take);
    return image;
}

int song_tool_look(const std::string& song, const std::string& out, const std::optional<std::string>& bars)
{
    std::string text, message;
    if (!song_tool_check_output(song, out, {".png"}, message)) {
        std::fprintf(stderr, "velomira-song: %s\n", message.c_str());
        return ExitUsage;
    }
    Take take;
    ShowScriptState script;
    std::vector<ShowFinding> findings;
    if (score_read(song, text, message) < 0 || take_render(score_name(song), text, 0, AllTracks, take, message) < 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return ExitFailure;
    }
    LookRange range;
    if (bars && look_bars(*bars, take, range, message) < 0) {
        std::fprintf(stderr, "velomira-song: %s\n", message.c_str());
        return ExitUsage;
    }
    if (show_script_read(text, script, &findings) < 0)
        std::fprintf(stderr, "velomira-song: %s: the show lines do not check (velomira-song check %s); the "
                             "built-in show is marked\n", score_name(song).c_str(), song.c_str());
    signals_catch_for_writing();
    const LookImage image = look_draw(take, script, range);

    // Written under a temporary name and put in place only when complete.
    OutputFile file;
    std::string error;
    bool written = file.open(song_tool_output_path(out), error);
    if (written && !png_write_rgb(file.file, image.rgb.data(), image.width, image.height, error)) {
        error = "cannot write " + out + ": " + error;
        written = false;
    }
    if (written && signals_ending()) {
        error = "interrupted; nothing written";
        written = false;
    }
    if (!written || !file.commit(error)) {
        std::fprintf(stderr, "velomira-song: %s\n", error.c_str());
        return ExitFailure;
    }
    return 0;
}

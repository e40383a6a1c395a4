#include "look.h"

#include "playback/playback.h"
#include "show/script.h"
#include "synth/score_file.h"
#include "song_tool.h"
#include "synth/synth.h"
#include "take.h"
#include "tools/common/output_file.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>

namespace {

constexpr int32_t Left = 44, Right = 12;
constexpr int32_t RulerHeight = 20, ShowStripHeight = 14, MixLaneHeight = 72, SpectrumHeight = 128, Gap = 6;
constexpr int32_t FftSize = 1024;

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

// 3 x 5 glyphs, one row of three bits per entry (bit 2 is the left column).
const uint8_t* glyph(char c)
{
    static const uint8_t digits[10][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
                                          {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 2, 2},
                                          {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};
    static const struct {
        char c;
        uint8_t rows[5];
    } letters[] = {{'m', {5, 7, 7, 5, 5}}, {'i', {7, 2, 2, 2, 7}}, {'x', {5, 5, 2, 5, 5}}, {'s', {7, 4, 7, 1, 7}},
                   {'h', {5, 5, 7, 5, 5}}, {'o', {7, 5, 5, 5, 7}}, {'w', {5, 5, 7, 7, 5}}, {'k', {5, 6, 4, 6, 5}},
                   {'z', {7, 1, 2, 4, 7}}, {'b', {6, 5, 6, 5, 6}}, {'a', {2, 5, 7, 5, 5}}, {'r', {6, 5, 6, 5, 5}},
                   {'t', {7, 2, 2, 2, 2}}, {'p', {6, 5, 6, 4, 4}}, {'e', {7, 4, 6, 4, 7}}, {'c', {7, 4, 4, 4, 7}}, {'f', {7, 4, 6, 4, 4}}};
    if (c >= '0' && c <= '9')
        return digits[c - '0'];
    for (const auto& l : letters)
        if (l.c == c)
            return l.rows;
    return nullptr;
}

struct Canvas {
    LookImage& image;
    void put(int32_t x, int32_t y, Rgb c)
    {
        if (x < 0 || y < 0 || x >= image.width || y >= image.height)
            return;
        uint8_t* p = image.rgb.data() + (size_t(y) * size_t(image.width) + size_t(x)) * 3;
        p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
    void fill(int32_t x, int32_t y, int32_t w, int32_t h, Rgb c)
    {
        for (int32_t j = y; j < y + h; ++j)
            for (int32_t i = x; i < x + w; ++i)
                put(i, j, c);
    }
    // Text in the 3 x 5 font at twice the size; returns the width drawn.
    int32_t text(int32_t x, int32_t y, const std::string& s, Rgb c)
    {
        int32_t at = x;
        for (char ch : s) {
            if (const uint8_t* rows = glyph(ch))
                for (int32_t r = 0; r < 5; ++r)
                    for (int32_t b = 0; b < 3; ++b)
                        if (rows[r] >> (2 - b) & 1)
                            fill(at + 2 * b, y + 2 * r, 2, 2, c);
            at += 8;
        }
        return at - x;
    }
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

// libpng's own reports would add a second line to the tool's message: the
// failure is reported by the caller from errno.
void png_quiet_error(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}
void png_quiet_warning(png_structp, png_const_charp) {}

// Writes an RGB image as a PNG; libpng reports errors by longjmp.
bool write_png(std::FILE* file, const LookImage& image)
{
    volatile bool ok = false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_quiet_error, png_quiet_warning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info && !setjmp(png_jmpbuf(png))) {
        png_init_io(png, file);
        png_set_IHDR(png, info, uint32_t(image.width), uint32_t(image.height), 8, PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int32_t y = 0; y < image.height; ++y)
            png_write_row(png, image.rgb.data() + size_t(y) * size_t(image.width) * 3);
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    return ok;
}

}   // namespace

LookImage look_draw(const Take& take, const ShowScriptState& script)
{
    const int32_t tracks = take.played;
    const int32_t plotWidth = LookWidth - Left - Right;
    const int32_t lanesTop = RulerHeight + ShowStripHeight + Gap + MixLaneHeight + Gap;
    const int32_t spectrumTop = lanesTop + tracks * LookTrackLaneHeight + Gap;
    LookImage image;
    image.width = LookWidth;
    image.height = spectrumTop + SpectrumHeight + Gap;
    image.rgb.resize(size_t(image.width) * size_t(image.height) * 3);
    Canvas canvas{image};
    canvas.fill(0, 0, image.width, image.height, Background);

    const int32_t length = std::max(take.length(), 1);
    auto column_of = [&](int64_t sample) { return Left + int32_t(sample * plotWidth / length); };
    auto first_sample = [&](int32_t x) { return int32_t(int64_t(x) * length / plotWidth); };

    // Lanes and labels.
    canvas.fill(Left, RulerHeight + ShowStripHeight + Gap, plotWidth, MixLaneHeight, LaneB);
    canvas.text(4, RulerHeight + ShowStripHeight + Gap + MixLaneHeight / 2 - 5, "mix", Text);
    canvas.text(4, RulerHeight + 2, "show", ShowMark);
    for (int32_t t = 1; t <= tracks; ++t) {
        const int32_t y = lanesTop + (t - 1) * LookTrackLaneHeight;
        canvas.fill(Left, y, plotWidth, LookTrackLaneHeight - 2, t % 2 ? LaneA : LaneB);
        canvas.text(8, y + LookTrackLaneHeight / 2 - 6, std::to_string(t), TrackColours[(t - 1) % TrackColourCount]);
    }
    canvas.text(4, spectrumTop + SpectrumHeight / 2 - 5, "fft", Text);
    // Bar lines under everything else, numbers on the ruler: the show's bars
    // at the score's tempo. A score without a tempo has no bars; a fast one
    // has more bars than columns, so lines and numbers thin out to every 4th,
    // 16th... bar and never overlap.
    const int32_t bars = take.rowLength > 0 ? take.bar_of(length - 1) + 1 : 0;
    const int32_t pixelsPerBar = std::max(1, plotWidth / std::max(bars, 1));
    int32_t labelEvery = pixelsPerBar >= 22 ? 1 : pixelsPerBar >= 11 ? 2 : pixelsPerBar >= 6 ? 4 : 16;
    const int32_t labelWidth = 8 * int32_t(std::to_string(std::max(bars - 1, 0)).size()) + 4;
    while (int64_t(labelEvery) * plotWidth < int64_t(labelWidth) * bars)
        labelEvery *= 4;
    int32_t lineEvery = 1;
    while (int64_t(lineEvery) * plotWidth < int64_t(3) * bars)
        lineEvery *= 4;
    for (int32_t b = 0; b < bars; b += lineEvery) {
        const int32_t x = column_of(take.bar_start(b));
        const Rgb line = b % (4 * lineEvery) == 0 ? BarLine4 : BarLine;
        for (int32_t y = RulerHeight - 4; y < spectrumTop - Gap; ++y)
            canvas.put(x, y, line);
        if (b % labelEvery == 0)
            canvas.text(x + 2, 3, std::to_string(b), Text);
    }
    // The show's own keyframe rows (yellow) and its end (white).
    for (int32_t row = 0; row <= script.rows; ++row) {
        const int32_t bar = row < script.rows ? script.keyframes[row].firstBar : script.endBar;
        const int32_t x = column_of(take.bar_start(bar));
        for (int32_t k = 0; k < 6; ++k)
            canvas.fill(x - 5 + k, RulerHeight + k, 11 - 2 * k, 1, row < script.rows ? ShowMark : ShowEnd);
        for (int32_t y = RulerHeight + 6; y < spectrumTop - Gap; y += 3)
            canvas.put(x, y, ShowMark);
    }

    // The mix: its waveform from the samples, a red column where it clips.
    const int32_t mixMid = RulerHeight + ShowStripHeight + Gap + MixLaneHeight / 2;
    for (int32_t x = 0; x < plotWidth; ++x) {
        const int32_t from = first_sample(x), to = std::max(first_sample(x + 1), from + 1);
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

    // Each track's level envelope from the take's peaks.
    const size_t windows = take.peaks.size() / MaxVoices;
    for (int32_t t = 1; t <= tracks; ++t) {
        const int32_t mid = lanesTop + (t - 1) * LookTrackLaneHeight + (LookTrackLaneHeight - 2) / 2;
        const Rgb colour = TrackColours[(t - 1) % TrackColourCount];
        for (int32_t x = 0; x < plotWidth; ++x) {
            const size_t w0 = size_t(first_sample(x)) / PeakWindowSamples;
            const size_t w1 = std::max(size_t(first_sample(x + 1)) / PeakWindowSamples, w0 + 1);
            float peak = 0;
            for (size_t w = w0; w < std::min(w1, windows); ++w)
                peak = std::max(peak, take.peaks[w * MaxVoices + size_t(t)]);
            const int32_t half = int32_t(level(peak) * ((LookTrackLaneHeight - 2) / 2 - 1) + 0.5);
            if (half > 0)
                canvas.fill(Left + x, mid - half, 1, 2 * half + 1, colour);
        }
    }

    // Spectrogram of the mix: a Hann-windowed FFT per column, log frequency.
    std::vector<std::complex<double>> bins(FftSize);
    std::vector<double> magnitude(FftSize / 2);
    const double lowHz = 40, highHz = 16000, binHz = 44100.0 / FftSize;
    for (int32_t x = 0; x < plotWidth; ++x) {
        const int32_t centre = (first_sample(x) + first_sample(x + 1)) / 2;
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
            canvas.put(Left + x, spectrumTop + y, heat((db + 80.0) / 75.0));
        }
    }
    return image;
}

int song_tool_look(const std::string& song, const std::string& out)
{
    std::string text, message;
    if (!song_tool_check_output(song, out, {".png"}, message)) {
        std::fprintf(stderr, "velomira-song: %s\n", message.c_str());
        return 1;
    }
    Take take;
    ShowScriptState script;
    std::vector<ShowFinding> findings;
    if (score_read(song, text, message) < 0 || take_render(score_name(song), text, 0, AllTracks, take, message) < 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    if (show_script_read(text, script, &findings) < 0)
        std::fprintf(stderr, "velomira-song: %s: the show lines do not check (velomira-song check %s); the "
                             "built-in show is marked\n", score_name(song).c_str(), song.c_str());
    output_signals_install();
    const LookImage image = look_draw(take, script);

    // Written under a temporary name and put in place only when complete.
    OutputFile file;
    std::string error;
    if (!file.open(song_tool_output_path(out), error) || !write_png(file.file, image) || output_interrupted() || !file.commit(error)) {
        if (error.empty())
            error = output_interrupted() ? "interrupted; nothing written" : "cannot write " + out + ": " + errno_text();
        std::fprintf(stderr, "velomira-song: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

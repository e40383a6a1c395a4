#include "tools/common/progress.h"

#include <unistd.h>

#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t BarWidth = 30;
constexpr auto RedrawInterval = std::chrono::milliseconds(100);

std::string minutes_text(double seconds)
{
    const int32_t whole = int32_t(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
    return text;
}

// The line in place of the last one, padded over whatever of that is left.
void show(Progress& progress, const std::string& line)
{
    const size_t over = progress.drawn > line.size() ? progress.drawn - line.size() : 0;
    std::fprintf(stderr, "\r%s%*s", line.c_str(), int(over), "");
    std::fflush(stderr);
    progress.drawn = line.size();
}

}   // namespace

void progress_start(Progress& progress, bool wanted, const std::string& label, const std::string& unit,
                    const std::string& rateUnit, int64_t total)
{
    progress.enabled = wanted && isatty(fileno(stderr));
    progress.label = label;
    progress.unit = unit;
    progress.rateUnit = rateUnit;
    progress.total = total;
    progress.start = Clock::now();
    progress.shown = {};
}

void progress_note(Progress& progress, const std::string& text)
{
    if (progress.enabled)
        show(progress, text);
}

void progress_update(Progress& progress, int64_t done)
{
    if (!progress.enabled)
        return;
    const Clock::time_point now = Clock::now();
    if (now - progress.shown < RedrawInterval)
        return;
    progress.shown = now;
    const double elapsed = std::chrono::duration<double>(now - progress.start).count();
    const double rate = elapsed > 0 ? double(done) / elapsed : 0;
    const int64_t filled = progress.total > 0 ? BarWidth * done / progress.total : BarWidth;
    std::string bar(size_t(filled), '#');
    bar.resize(BarWidth, '.');
    char counts[160];
    std::snprintf(counts, sizeof counts, "%lld/%lld %s", (long long)done, (long long)progress.total,
                  progress.unit.c_str());
    std::string line = progress.label + " [" + bar + "] " + counts;
    if (!progress.rateUnit.empty()) {
        char speed[64];
        std::snprintf(speed, sizeof speed, "  %.0f %s", rate, progress.rateUnit.c_str());
        line += speed;
    }
    line += "  " + (rate > 0 ? minutes_text(double(progress.total - done) / rate) : std::string("-:--")) + " left";
    show(progress, line);
}

void progress_finish(Progress& progress)
{
    if (!progress.enabled || progress.drawn == 0)
        return;
    std::fprintf(stderr, "\r%*s\r", int(progress.drawn), "");
    std::fflush(stderr);
    progress.drawn = 0;
}

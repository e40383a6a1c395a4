#include "tools/velomira-capture/capture_range.h"

#include "show/offline.h"
#include "tools/common/numbers.h"

#include <cmath>
#include <cstdio>

namespace {

bool parse_count(const std::string& text, int64_t& value)
{
    return parse_decimal(text, value) && value >= 0;
}

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

} // namespace

bool capture_range_parse(const std::string& text, int64_t lastFrame, CaptureRange& range, std::string& error)
{
    std::string prefix = "--frames " + text + ": ";
    size_t colon = text.find(':');
    int64_t first = 0, end = lastFrame + 1;
    bool openEnd = colon != std::string::npos && colon + 1 == text.size();
    if (colon == std::string::npos || !parse_count(text.substr(0, colon), first) ||
        (!openEnd && !parse_count(text.substr(colon + 1), end))) {
        error = prefix + "expected FIRST:END (frame numbers, END excluded), e.g. 0:750 or 4500:";
        return false;
    }
    if (first > lastFrame) {
        error = prefix + "the show has only " + std::to_string(lastFrame + 1) + " frames at this rate (0 to " +
                std::to_string(lastFrame) + ")";
        return false;
    }
    if (first >= end) {
        error = prefix + "the range is empty: FIRST must be below END";
        return false;
    }
    range.first = first;
    range.end = end < lastFrame + 1 ? end : lastFrame + 1;
    return true;
}

bool capture_range_at(double seconds, int32_t fps, int64_t lastFrame, CaptureRange& range, std::string& error)
{
    double lastSeconds = offline_frame_ms(lastFrame, fps) / 1000.0;
    if (!(seconds >= 0) || seconds > lastSeconds) {
        error = "--at " + seconds_text(seconds) + ": the show runs from 0 s to " + seconds_text(lastSeconds);
        return false;
    }
    // The last frame whose show time is not after the requested one; whole
    // milliseconds, as the show counts them (rounded so that 0.1 s is 100 ms).
    int32_t ms = int32_t(std::lround(seconds * 1000.0));
    int64_t frame = offline_frame_at(ms, fps);
    range.first = frame;
    range.end = frame + 1;
    return true;
}

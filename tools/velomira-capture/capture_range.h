// Which frames a capture writes: all of them, a range given as --frames A:B,
// or the one still on screen at --at SECONDS. Frames before the first are
// still played (the show's state depends on its history) but not written.
#pragma once

#include <cstdint>
#include <string>

struct CaptureRange {
    int64_t first = 0;   // first frame written
    int64_t end = 0;     // one past the last frame written and played
};

// "A:B" writes frames A to B - 1; "A:" from A to the end of the show. B past
// the end is cut to it. lastFrame is the show's last frame at this rate.
bool capture_range_parse(const std::string& text, int64_t lastFrame, CaptureRange& range, std::string& error);
// The one frame on screen at a show time in seconds.
bool capture_range_at(double seconds, int32_t fps, int64_t lastFrame, CaptureRange& range, std::string& error);

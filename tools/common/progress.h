// A progress bar for long work, on one line of stderr and only when stderr
// is a terminal (a log or a pipe gets nothing), redrawn at most ten times a
// second however often it is told:
//   LABEL [##########....................] DONE/TOTAL UNIT  RATE  M:SS left
//
// Order of use: progress_start once the amount of work is known (wanted: the
// tool's own choice, such as no --quiet); progress_update as the work goes
// (cheap when nothing is drawn); progress_finish, which clears the line so
// that what follows, a summary or an error, has a line of its own.
// progress_note shows a line of text in the same place meanwhile (a stage
// that has no count), cleared the same way. One thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

struct Progress {
    bool enabled = false;          // wanted, and stderr is a terminal
    std::string label;             // first on the line: "velomira-capture"
    std::string unit;              // what is counted: "frames"
    std::string rateUnit;          // the rate per second ("fps"); "" leaves the rate out
    int64_t total = 0;
    std::chrono::steady_clock::time_point start{};
    std::chrono::steady_clock::time_point shown{};   // the last redraw
    size_t drawn = 0;              // columns on screen, cleared by progress_finish
};

void progress_start(Progress& progress, bool wanted, const std::string& label, const std::string& unit,
                    const std::string& rateUnit, int64_t total);
void progress_note(Progress& progress, const std::string& text);
void progress_update(Progress& progress, int64_t done);
void progress_finish(Progress& progress);

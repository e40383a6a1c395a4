// The two-thread drawing of a deferred frame (see r3d.h): the rows of the
// frame cut in two parts, each drawn whole by one thread.
//
// r3d_run_row_halves(work) calls work(0, split - 1) on the calling thread
// and work(split, FrameHeight - 1) on a helper thread at the same time (or
// after it on the calling thread, when the helper has not started by then),
// and returns when both are done. The split starts at RowSplit and moves from
// call to call so that both threads take about as long. The helper is started
// on the first call and sleeps between calls; the calls come from one thread
// at a time. The two parts must touch disjoint memory (their own rows of the
// target, the depth buffer and the edge tables) and read only what neither
// writes.
//
// row_halves.cpp has the helper thread; builds without threads (the browser,
// row_halves_serial.cpp) and machines with one core draw all rows in one
// call on the calling thread, with the same results.
#pragma once

#include "render3d/r3d.h"

#include <cstdint>

// The first split: the middle row.
inline constexpr int32_t RowSplit = FrameHeight / 2;

void r3d_run_row_halves(void (*work)(int32_t firstRow, int32_t lastRow));

// The two-thread drawing of a deferred frame (see r3d.h): the rows of the
// frame cut in two parts, each drawn whole by one thread, the bottom part by
// a helper thread that starts on the primitives while the rest of the frame
// is still being recorded.
//
// Order of calls for one record, all from the thread that records:
//   r3d_parts_begin()        the record has its first clear or primitive
//   r3d_parts_publish(n)     after each primitive: 0 ... n - 1 are complete
//                            (handed to the helper in batches)
//   r3d_parts_finish(n)      the record is done with n primitives: draws the
//                            top part on the calling thread, returns when
//                            both parts are drawn
// Each part calls back into the rasterizer: r3d_part_clear once, first, then
// r3d_part_draw for runs of primitives in their order. Rows 0 ... split - 1
// are the top part; the split starts at RowSplit and moves from record to
// record so that both threads finish at about the same time.
//
// The bottom part is offered to the second core (playback/second_core.h);
// while a record is being made it draws what has been published and waits
// (spinning, then yielding) for more. A bottom part the helper has not begun
// when the calling thread finishes the top (the helper was asleep, as it is
// between frames a display paces) is taken back and drawn there.
// The parts touch disjoint memory (their own rows of the target, the depth
// buffer and the edge tables); the primitives a part reads were complete
// before they were published, and the recording thread never writes them
// again until r3d_parts_finish returns.
//
// row_halves.cpp offers the part to the second core; builds without threads (the browser,
// row_halves_serial.cpp) and machines with one core draw all rows in
// r3d_parts_finish on the calling thread, with the same results.
#pragma once

#include "render3d/r3d.h"

#include <cstdint>

// The first split: the middle row.
inline constexpr int32_t RowSplit = FrameHeight / 2;

void r3d_parts_begin();
void r3d_parts_publish(int32_t count);
void r3d_parts_finish(int32_t count);

// Provided by the rasterizer (raster.cpp): the record's clear, if it begins
// with one, of rows firstRow ... lastRow; and primitives firstCommand ...
// endCommand - 1 drawn into those rows.
void r3d_part_clear(int32_t firstRow, int32_t lastRow);
void r3d_part_draw(int32_t firstCommand, int32_t endCommand, int32_t firstRow, int32_t lastRow);

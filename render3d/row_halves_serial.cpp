// Builds without threads draw all the rows at once on the calling thread
// when the record is finished: each pixel sees the same primitives in the
// same order, so the same results.
#include "render3d/row_halves.h"

void r3d_parts_begin() {}

void r3d_parts_publish(int32_t /*count*/) {}

void r3d_parts_finish(int32_t count) {
    r3d_part_clear(0, FrameHeight - 1);
    r3d_part_draw(0, count, 0, FrameHeight - 1);
}

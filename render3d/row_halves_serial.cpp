// Builds without threads draw all the rows at once on the calling thread:
// each pixel sees the same primitives in the same order, so the same results.
#include "render3d/row_halves.h"

void r3d_run_row_halves(void (*work)(int32_t firstRow, int32_t lastRow)) {
    work(0, FrameHeight - 1);
}

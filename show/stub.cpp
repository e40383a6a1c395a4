// Placeholder show: draws nothing. Replaced by the real show.
#include "show/show.h"

void show_levels(const int16_t*) {}
void show_frame(uint8_t*, int32_t) {}

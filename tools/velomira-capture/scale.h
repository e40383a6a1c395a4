// Nearest-neighbour upscaling of a picture of palette indices by a whole
// factor: every pixel becomes a factor x factor square, so the picture stays
// exactly the show's, only bigger (video sites give small uploads a poor
// bitrate).
#pragma once

#include <cstdint>

inline constexpr int32_t MaxScale = 4;

// Writes the (width * factor) x (height * factor) picture to out.
void scale_nearest(const uint8_t* pixels, int32_t width, int32_t height, int32_t factor, uint8_t* out);

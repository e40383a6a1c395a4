#include "tools/velomira-capture/scale.h"

#include <cstring>

void scale_nearest(const uint8_t* pixels, int32_t width, int32_t height, int32_t factor, uint8_t* out)
{
    size_t outWidth = size_t(width) * size_t(factor);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* in = pixels + size_t(y) * size_t(width);
        uint8_t* row = out + size_t(y) * size_t(factor) * outWidth;
        uint8_t* at = row;
        for (int32_t x = 0; x < width; ++x)
            for (int32_t k = 0; k < factor; ++k)
                *at++ = in[x];
        // The other factor - 1 rows of this source row are copies of the first.
        for (int32_t k = 1; k < factor; ++k)
            std::memcpy(row + size_t(k) * outWidth, row, outWidth);
    }
}

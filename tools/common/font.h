// The one small bitmap font of the tools' pictures: capture's storyboard
// labels and look's ruler and lane names. Glyphs are 5 x 7 pixels on an
// advance of 6, drawn at a whole scale (each font pixel a scale x scale
// square), so a picture needs no font library and a paletted one keeps to
// its own colours. It holds the digits, the letters (capitals drawn as small
// letters) and . : , - _ / ( ) +; any other character (a space) draws
// nothing and still advances.
//
// font_text_width for layout (label spacing), font_draw to draw: it calls
// plot(x, y) once for every pixel the text covers, and the caller colours it
// in its own kind of picture.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

inline constexpr int32_t FontGlyphWidth = 5;
inline constexpr int32_t FontGlyphHeight = 7;
inline constexpr int32_t FontAdvance = 6;   // the glyph and one blank column

// The width text takes at scale: one advance a character, the blank column
// after the last one included.
int32_t font_text_width(const std::string& text, int32_t scale);

// Draws text with its top left corner at (left, top).
void font_draw(const std::string& text, int32_t left, int32_t top, int32_t scale,
               const std::function<void(int32_t x, int32_t y)>& plot);

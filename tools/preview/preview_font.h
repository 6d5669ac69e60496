// The preview's lettering: a 5 x 7 pixel font of the printable ASCII
// characters, enough for block numbers, resource names and short notes.
#pragma once

#include <cstdint>

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

constexpr int kDescent = 2;  // rows a glyph with a descender goes below the others

// The seven rows of c's glyph, top first, bit 4 the leftmost pixel. Bytes
// outside the printable ASCII range get the glyph of '?'.
const uint8_t *GlyphRows(char c);
// How far c's glyph is drawn below the others: kDescent for the letters
// with a descender (g, p, q, y), whose seven rows start at the x-height.
int GlyphDrop(char c);

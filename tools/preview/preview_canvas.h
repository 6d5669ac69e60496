// The picture the preview draws on: 8-bit RGBA, rows top to bottom, with the
// few ways of drawing it needs. Whatever falls outside is cut off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "argb4.h"

class Canvas {
public:
    Canvas(int width, int height, Rgba8 background);

    int width() const { return width_; }
    int height() const { return height_; }
    const unsigned char *rgba() const { return pixels_.data(); }

    void Fill(int x, int y, int width, int height, Rgba8 color);
    // A checkerboard of two light greys, its squares counted from (x, y):
    // what shows through where a picture is not opaque.
    void Checkerboard(int x, int y, int width, int height);
    // A line of one pixel from (x0, y0) to (x1, y1).
    void Line(int x0, int y0, int x1, int y1, Rgba8 color);
    // Lays color over the pixel by its alpha.
    void Blend(int x, int y, Rgba8 color);
    // One line of text, its top left at (x, y).
    void Text(int x, int y, const std::string &text, Rgba8 color);

    static int TextWidth(const std::string &text);

private:
    unsigned char *At(int x, int y) { return pixels_.data() + (static_cast<std::size_t>(y) * width_ + x) * 4; }
    bool Inside(int x, int y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }

    int width_;
    int height_;
    std::vector<unsigned char> pixels_;
};

constexpr int kTextAdvance = 6;     // a glyph and the space after it
constexpr int kTextLineHeight = 10;
constexpr int kCheckerSquare = 8;
constexpr Rgba8 kCheckerLight{0xF0, 0xF0, 0xF0, 0xFF};
constexpr Rgba8 kCheckerDark{0xC8, 0xC8, 0xC8, 0xFF};

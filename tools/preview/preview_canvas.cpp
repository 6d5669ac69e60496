#include "preview_canvas.h"

#include <algorithm>
#include <cstdlib>

#include "preview_font.h"

Canvas::Canvas(int width, int height, Rgba8 background)
    : width_(width), height_(height), pixels_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
    Fill(0, 0, width, height, background);
}

void Canvas::Fill(int x, int y, int width, int height, Rgba8 color) {
    for (int row = std::max(y, 0); row < std::min(y + height, height_); ++row) {
        for (int column = std::max(x, 0); column < std::min(x + width, width_); ++column) {
            unsigned char *pixel = At(column, row);
            pixel[0] = color.r;
            pixel[1] = color.g;
            pixel[2] = color.b;
            pixel[3] = color.a;
        }
    }
}

void Canvas::Checkerboard(int x, int y, int width, int height) {
    for (int row = 0; row < height; row += kCheckerSquare) {
        for (int column = 0; column < width; column += kCheckerSquare) {
            const bool light = (row / kCheckerSquare + column / kCheckerSquare) % 2 == 0;
            Fill(x + column, y + row, std::min(kCheckerSquare, width - column), std::min(kCheckerSquare, height - row),
                 light ? kCheckerLight : kCheckerDark);
        }
    }
}

void Canvas::Line(int x0, int y0, int x1, int y1, Rgba8 color) {
    const int dx = std::abs(x1 - x0);
    const int dy = -std::abs(y1 - y0);
    const int step_x = x0 < x1 ? 1 : -1;
    const int step_y = y0 < y1 ? 1 : -1;
    int error = dx + dy;
    for (;;) {
        Fill(x0, y0, 1, 1, color);
        if (x0 == x1 && y0 == y1) break;
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            x0 += step_x;
        }
        if (twice <= dx) {
            error += dx;
            y0 += step_y;
        }
    }
}

void Canvas::Blend(int x, int y, Rgba8 color) {
    if (!Inside(x, y)) return;
    unsigned char *pixel = At(x, y);
    const unsigned alpha = color.a;
    const auto mix = [alpha](unsigned over, unsigned under) {
        return static_cast<unsigned char>((over * alpha + under * (255 - alpha) + 127) / 255);
    };
    pixel[0] = mix(color.r, pixel[0]);
    pixel[1] = mix(color.g, pixel[1]);
    pixel[2] = mix(color.b, pixel[2]);
    pixel[3] = 0xFF;
}

void Canvas::Text(int x, int y, const std::string &text, Rgba8 color) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const uint8_t *rows = GlyphRows(text[i]);
        const int left = x + static_cast<int>(i) * kTextAdvance;
        const int top = y + GlyphDrop(text[i]);
        for (int row = 0; row < kGlyphHeight; ++row) {
            for (int column = 0; column < kGlyphWidth; ++column) {
                if ((rows[row] >> (kGlyphWidth - 1 - column) & 1) != 0) Fill(left + column, top + row, 1, 1, color);
            }
        }
    }
}

int Canvas::TextWidth(const std::string &text) {
    return text.empty() ? 0 : static_cast<int>(text.size()) * kTextAdvance - 1;
}

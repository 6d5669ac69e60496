#include "screenshot.h"

#include <algorithm>
#include <cstring>

namespace devsim {

namespace {

struct Colour {
    uint8_t r, g, b;
};

class Canvas {
public:
    Canvas() : bytes_(static_cast<size_t>(kPictureWidth) * kPictureHeight * 4, 0) {}

    void Set(int x, int y, Colour c) {
        if (x < 0 || y < 0 || x >= kPictureWidth || y >= kPictureHeight) return;
        uint8_t *p = &bytes_[(static_cast<size_t>(y) * kPictureWidth + static_cast<size_t>(x)) * 4];
        p[0] = c.b;  // BGRA in memory
        p[1] = c.g;
        p[2] = c.r;
        p[3] = 0xFF;
    }

    void Fill(int x0, int y0, int x1, int y1, Colour c) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) Set(x, y, c);
    }

    std::vector<uint8_t> Take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

// 5 x 7 glyphs for the caption and labels, one row per entry, bit 4 leftmost.
struct Glyph {
    char ch;
    uint8_t rows[7];
};

constexpr Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}}, {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}}, {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
};

void DrawText(Canvas &canvas, int x, int y, int scale, const char *text, Colour c) {
    for (; *text != '\0'; ++text, x += 6 * scale) {
        const Glyph *glyph = nullptr;
        for (const Glyph &g : kGlyphs)
            if (g.ch == *text) glyph = &g;
        if (glyph == nullptr) continue;  // space
        for (int row = 0; row < 7; ++row)
            for (int col = 0; col < 5; ++col)
                if (glyph->rows[row] & (0x10 >> col))
                    canvas.Fill(x + col * scale, y + row * scale, x + (col + 1) * scale, y + (row + 1) * scale, c);
    }
}

uint8_t Ramp(int x) { return static_cast<uint8_t>(x * 255 / (kPictureWidth - 1)); }

}  // namespace

std::vector<uint8_t> MakeTestPicture() {
    Canvas canvas;
    const int w = kPictureWidth;
    const int h = kPictureHeight;

    // Colour bars: white, yellow, cyan, green, magenta, red, blue, black.
    const Colour bars[] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                           {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    const int bar_width = w / 8;
    for (int i = 0; i < 8; ++i) canvas.Fill(i * bar_width, 0, (i + 1) * bar_width, 120, bars[i]);

    // Ramps, dark on the left: grey, then red, green and blue. Every value
    // 0..255 occurs, so 0x0A and 0x0D are in the picture.
    for (int x = 0; x < w; ++x) {
        const uint8_t v = Ramp(x);
        canvas.Fill(x, 120, x + 1, 152, {v, v, v});
        canvas.Fill(x, 152, x + 1, 176, {v, 0, 0});
        canvas.Fill(x, 176, x + 1, 200, {0, v, 0});
        canvas.Fill(x, 200, x + 1, 224, {0, 0, v});
    }
    const Colour white{255, 255, 255};
    DrawText(canvas, 8, 157, 2, "RED", white);
    DrawText(canvas, 8, 181, 2, "GREEN", white);
    DrawText(canvas, 8, 205, 2, "BLUE", white);

    // Caption band.
    canvas.Fill(0, 224, w, h, {24, 32, 48});
    DrawText(canvas, 12, 238, 3, "DEVSIM 480X272", white);

    // A ringed disc over the bars: a round circle shows the aspect ratio.
    const int cx = 380, cy = 60, outer = 50, inner = 44;
    for (int y = cy - outer; y <= cy + outer; ++y)
        for (int x = cx - outer; x <= cx + outer; ++x) {
            const int d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            if (d2 <= inner * inner) canvas.Set(x, y, {255, 128, 0});
            else if (d2 <= outer * outer) canvas.Set(x, y, {0, 0, 0});
        }

    // A one-pixel frame marks the picture's edges; the top-left corner pixel
    // is red and the bottom-right one green, so flips show.
    canvas.Fill(0, 0, w, 1, white);
    canvas.Fill(0, h - 1, w, h, white);
    canvas.Fill(0, 0, 1, h, white);
    canvas.Fill(w - 1, 0, w, h, white);
    canvas.Fill(0, 0, 4, 4, {255, 0, 0});
    canvas.Fill(w - 4, h - 4, w, h, {0, 255, 0});
    return canvas.Take();
}

ScreenshotStream::ScreenshotStream(const std::vector<uint8_t> &picture, StreamPlan plan)
    : picture_(picture), plan_(plan) {}

bool ScreenshotStream::Done() const {
    if (picture_.empty()) return true;
    return !plan_.endless && position_ >= plan_.length;
}

bool ScreenshotStream::PauseDue() const {
    return !paused_ && plan_.pause_after != StreamPlan::kNoPause && position_ == plan_.pause_after && !Done();
}

size_t ScreenshotStream::Peek(uint8_t *out, size_t max) const {
    if (Done() || PauseDue()) return 0;
    uint64_t limit = max;
    if (!plan_.endless) limit = std::min<uint64_t>(limit, plan_.length - position_);
    if (!paused_ && plan_.pause_after != StreamPlan::kNoPause && plan_.pause_after > position_)
        limit = std::min<uint64_t>(limit, plan_.pause_after - position_);
    size_t copied = 0;
    uint64_t at = position_ % picture_.size();
    while (copied < limit) {
        const size_t run = static_cast<size_t>(std::min<uint64_t>(limit - copied, picture_.size() - at));
        std::memcpy(out + copied, picture_.data() + at, run);
        copied += run;
        at = 0;
    }
    return copied;
}

}  // namespace devsim

// The display's pixel format, ARGB4, in one place for everything that makes,
// draws or measures pixel data: 2 bytes a pixel, a 16-bit value stored low
// byte first, its four nibbles alpha, red, green and blue from the most
// significant down. Rows follow one another at the header file's stride.
#pragma once

#include <cstdint>

constexpr int32_t kArgb4BytesPerPixel = 2;
constexpr char kArgb4FormatName[] = "ARGB4";  // the header file's format field

// One pixel, 8 bits a channel.
struct Rgba8 {
    uint8_t r = 0, g = 0, b = 0, a = 0;
};

// A channel of 0 to max (255 for 8-bit pictures, 65535 for 16-bit ones)
// rounded to the nearest of the 16 levels a nibble holds.
constexpr uint8_t RoundToNibble(uint32_t value, uint32_t max) {
    return static_cast<uint8_t>((value * 15u + max / 2u) / max);
}

// Stores the pixel of the four nibbles (0 to 15 each) in out[0] and out[1].
inline void PackArgb4(uint8_t a, uint8_t r, uint8_t g, uint8_t b, unsigned char out[kArgb4BytesPerPixel]) {
    out[0] = static_cast<unsigned char>((g & 0x0F) << 4 | (b & 0x0F));
    out[1] = static_cast<unsigned char>((a & 0x0F) << 4 | (r & 0x0F));
}

// The pixel stored at in[0] and in[1], each nibble n widened to n * 17, so
// that 15 is full (255) and every level is as far from the next.
inline Rgba8 UnpackArgb4(const unsigned char in[kArgb4BytesPerPixel]) {
    const auto widen = [](unsigned nibble) { return static_cast<uint8_t>((nibble & 0x0F) * 17); };
    Rgba8 pixel;
    pixel.a = widen(in[1] >> 4);
    pixel.r = widen(in[1]);
    pixel.g = widen(in[0] >> 4);
    pixel.b = widen(in[0]);
    return pixel;
}

// PNG pictures through libpng, for the picture tools: any PNG read as rows
// of RGBA samples (palettes, grey and low bit depths widened, transparency
// made alpha, 16-bit samples kept as they are), and 8-bit RGBA written.
// libpng leaves a failing call with longjmp; every call here is made from a
// frame that holds plain data only, and failures come back as false with a
// message.
#pragma once

#include <png.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class PngReader {
public:
    PngReader() = default;
    ~PngReader();
    PngReader(const PngReader &) = delete;
    PngReader &operator=(const PngReader &) = delete;

    // Reads the file's signature and header and sets up RGBA rows. False for
    // anything libpng does not read as a PNG.
    bool Open(FILE *file);

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    // The largest sample: 255, or 65535 for a 16-bit picture.
    uint32_t sample_max() const { return sample_max_; }
    // Bytes of a row: 4 samples a pixel, 1 or 2 bytes each (high byte first).
    std::size_t row_bytes() const { return row_bytes_; }
    // An interlaced picture comes in several passes over all its rows, each
    // pass adding to the rows of the one before: it needs all of them at once.
    int passes() const { return passes_; }

    // Reads the next row of the current pass into row (row_bytes() long).
    bool ReadRow(unsigned char *row);
    // Reads the rest of the file after the last row: a file cut short fails.
    bool Finish();

    // Sample i of a row (channel i % 4 of pixel i / 4: red, green, blue, alpha).
    uint32_t Sample(const unsigned char *row, std::size_t i) const {
        return sample_max_ == 255 ? row[i] : static_cast<uint32_t>(row[2 * i] << 8 | row[2 * i + 1]);
    }

    const std::string &error() const { return error_; }

private:
    bool Failed();  // sets error() after libpng gave up; false

    FILE *file_ = nullptr;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint32_t sample_max_ = 255;
    std::size_t row_bytes_ = 0;
    int passes_ = 1;
    std::string error_;
    char message_[256] = "";  // libpng's error text, set before its longjmp
};

// Writes width x height pixels of 8-bit RGBA, rows top to bottom without
// gaps between them, as a PNG file at path, created or replaced. False (and
// *error) when it cannot; no half-written file is left behind then.
bool WriteRgbaPngFile(const std::string &path, uint32_t width, uint32_t height, const unsigned char *rgba,
                      std::string *error);

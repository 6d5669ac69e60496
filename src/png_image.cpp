#include "png_image.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// libpng's error handler: keeps the text where the caller finds it, then
// leaves for the setjmp of the call in progress.
void OnPngError(png_structp png, png_const_charp message) {
    auto *text = static_cast<char *>(png_get_error_ptr(png));
    std::snprintf(text, 256, "%s", message);
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

constexpr std::size_t kSignatureBytes = 8;

}  // namespace

PngReader::~PngReader() {
    if (png_ != nullptr) png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr);
}

bool PngReader::Open(FILE *file) {
    png_byte signature[kSignatureBytes] = {};
    if (std::fread(signature, 1, kSignatureBytes, file) != kSignatureBytes ||
        png_sig_cmp(signature, 0, kSignatureBytes) != 0) {
        error_ = "not a PNG file";
        return false;
    }
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, message_, OnPngError, OnPngWarning);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
    if (png_ == nullptr || info_ == nullptr) {
        error_ = "out of memory";
        return false;
    }
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bit_depth = 0;
    int color_type = 0;
    int passes = 1;
    file_ = file;
    if (setjmp(png_jmpbuf(png_)) != 0) return Failed();
    png_init_io(png_, file);
    png_set_sig_bytes(png_, static_cast<int>(kSignatureBytes));
    png_read_info(png_, info_);
    png_get_IHDR(png_, info_, &width, &height, &bit_depth, &color_type, nullptr, nullptr, nullptr);
    // Everything becomes red, green, blue and alpha at 8 or 16 bits.
    if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png_);
    if (color_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png_);
    if (png_get_valid(png_, info_, PNG_INFO_tRNS) != 0) png_set_tRNS_to_alpha(png_);
    if (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png_);
    const bool sixteen = bit_depth == 16;
    if ((color_type & PNG_COLOR_MASK_ALPHA) == 0 && png_get_valid(png_, info_, PNG_INFO_tRNS) == 0)
        png_set_add_alpha(png_, sixteen ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
    passes = png_set_interlace_handling(png_);
    png_read_update_info(png_, info_);

    width_ = width;
    height_ = height;
    sample_max_ = sixteen ? 65535 : 255;
    row_bytes_ = png_get_rowbytes(png_, info_);
    passes_ = passes;
    if (row_bytes_ != std::size_t{width_} * 4 * (sixteen ? 2 : 1)) {
        error_ = "unexpected row layout";
        return false;
    }
    return true;
}

bool PngReader::Failed() {
    // libpng says "Read Error" for a file that ends too early.
    error_ = std::feof(file_) != 0 ? "the file ends before the picture does" : message_;
    return false;
}

bool PngReader::ReadRow(unsigned char *row) {
    if (setjmp(png_jmpbuf(png_)) != 0) return Failed();
    png_read_row(png_, row, nullptr);
    return true;
}

bool PngReader::Finish() {
    if (setjmp(png_jmpbuf(png_)) != 0) return Failed();
    png_read_end(png_, nullptr);
    return true;
}

namespace {

// The write itself, in a frame of plain data for libpng's longjmp.
bool EncodeRgbaPng(FILE *out, png_uint_32 width, png_uint_32 height, png_bytepp rows, char *message) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, message, OnPngError, OnPngWarning);
    if (png == nullptr) {
        std::snprintf(message, 256, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        std::snprintf(message, 256, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WriteRgbaPngFile(const std::string &path, uint32_t width, uint32_t height, const unsigned char *rgba,
                      std::string *error) {
    std::vector<png_bytep> rows(height);
    for (std::size_t y = 0; y < height; ++y) rows[y] = const_cast<png_bytep>(rgba + y * width * 4);
    FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        *error = std::strerror(errno);
        return false;
    }
    char message[256] = "";
    const bool encoded = EncodeRgbaPng(out, width, height, rows.data(), message);
    const bool closed = std::fclose(out) == 0;
    if (encoded && closed) return true;
    *error = encoded ? std::strerror(errno) : message;
    std::remove(path.c_str());
    return false;
}

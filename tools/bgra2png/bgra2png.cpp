// pardulo-bgra2png: converts the device's raw screenshot (BGRA, 4 bytes per
// pixel, rows top to bottom) into an RGBA PNG file.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "file_handles.h"
#include "png_image.h"
#include "program_info.h"

namespace {

constexpr const char *kUsage =
    "Usage: pardulo-bgra2png [--width W] [--height H] INPUT.bgra OUTPUT.png\n"
    "       pardulo-bgra2png --help | --version\n"
    "Converts a raw BGRA screenshot (as saved by \"pardulo g\" in test.bgra) into\n"
    "a PNG. The picture is 480 x 272 unless --width and --height say otherwise;\n"
    "INPUT must hold exactly W * H * 4 bytes. Exit status 0, or 1 on any error.\n";

constexpr unsigned long kMaxSide = 100000;

int Fail(const std::string &text) {
    std::fprintf(stderr, "pardulo-bgra2png: %s\n", text.c_str());
    return 1;
}

bool ParseSide(const char *text, unsigned long &value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed == 0 || parsed > kMaxSide) return false;
    value = parsed;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    unsigned long width = 480;
    unsigned long height = 272;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        switch (InfoRequestOf(argv[i])) {
            case InfoRequest::kHelp: std::fputs(kUsage, stdout); return 0;
            case InfoRequest::kVersion: PrintVersion("pardulo-bgra2png"); return 0;
            case InfoRequest::kNone: break;
        }
        if (arg == "--width" || arg == "--height") {
            unsigned long &side = arg == "--width" ? width : height;
            if (!ParseSide(i + 1 < argc ? argv[i + 1] : nullptr, side))
                return Fail("bad value for " + arg + " (a whole number from 1 to 100000)\n" + kUsage);
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Fail("unknown option " + arg + "\n" + kUsage);
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) return Fail(std::string("expected INPUT.bgra and OUTPUT.png\n") + kUsage);
    const std::string &input = files[0];
    const std::string &output = files[1];

    const unsigned long long expected = 4ULL * width * height;
    const FilePtr in(std::fopen(input.c_str(), "rb"));
    if (!in) return Fail("cannot open " + input + ": " + std::strerror(errno));
    std::vector<unsigned char> pixels;
    pixels.reserve(static_cast<size_t>(expected));
    unsigned char buffer[65536];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) {
        if (pixels.size() + n > expected) {
            return Fail(input + " is longer than " + std::to_string(width) + " x " + std::to_string(height) +
                        " x 4 = " + std::to_string(expected) + " bytes");
        }
        pixels.insert(pixels.end(), buffer, buffer + n);
    }
    if (std::ferror(in.get())) return Fail("cannot read " + input + ": " + std::strerror(errno));
    if (pixels.size() != expected) {
        return Fail(input + " holds " + std::to_string(pixels.size()) + " bytes, but " + std::to_string(width) +
                    " x " + std::to_string(height) + " x 4 = " + std::to_string(expected) + " are needed");
    }

    // BGRA to RGBA: swap blue and red in every pixel.
    for (size_t i = 0; i + 3 < pixels.size(); i += 4) std::swap(pixels[i], pixels[i + 2]);

    std::string error;
    if (!WriteRgbaPngFile(output, static_cast<uint32_t>(width), static_cast<uint32_t>(height), pixels.data(), &error))
        return Fail("cannot write " + output + ": " + error);
    return 0;
}

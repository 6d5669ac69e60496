// pardulo-bgra2png: converts the device's raw screenshot (BGRA, 4 bytes per
// pixel, rows top to bottom) into an RGBA PNG file.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "png_image.h"
#include "program_options.h"
#include "util/failure.h"
#include "util/whole_file.h"

namespace {

constexpr const char *kProgram = "pardulo-bgra2png";
constexpr uint64_t kMaxSide = 100000;

struct Options {
    uint64_t width = 480;
    uint64_t height = 272;
    std::string input;
    std::string output;
};

int Fail(const std::string &text) { return util::Fail(kProgram, text, 1); }

void DefineOptions(CLI::App &app, Options &options) {
    PrepareProgramOptions(app,
                          "Converts a raw BGRA screenshot (as saved by \"pardulo g\" in test.bgra) into\n"
                          "a PNG. INPUT must hold exactly W * H * 4 bytes.");
    AddNumberOption(app, "--width", options.width, 1, kMaxSide, "the picture's width (default 480)")->type_name("W");
    AddNumberOption(app, "--height", options.height, 1, kMaxSide, "its height (default 272)")->type_name("H");
    app.add_option("INPUT.bgra", options.input, "the screenshot")->required()->check(NonEmpty());
    app.add_option("OUTPUT.png", options.output, "the PNG to write")->required()->check(NonEmpty());
    app.footer("Exit status 0, 1 when the picture cannot be converted, 2 for a bad command line.");
}

std::string Size(const Options &options) {
    return std::to_string(options.width) + " x " + std::to_string(options.height) + " x 4 = " +
           std::to_string(4 * options.width * options.height);
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    CLI::App app(kProgram, kProgram);
    DefineOptions(app, options);
    if (const int status = ParseProgramOptions(app, argc, argv); status != kOptionsParsed) return status;

    const uint64_t expected = 4 * options.width * options.height;
    std::vector<uint8_t> pixels;
    std::string error;
    if (!util::ReadWholeFile(options.input, pixels, error, expected)) return Fail(error);
    if (pixels.size() > expected) return Fail(options.input + " is longer than " + Size(options) + " bytes");
    if (pixels.size() != expected) {
        return Fail(options.input + " holds " + std::to_string(pixels.size()) + " bytes, but " + Size(options) +
                    " are needed");
    }

    // BGRA to RGBA: swap blue and red in every pixel.
    for (size_t i = 0; i + 3 < pixels.size(); i += 4) std::swap(pixels[i], pixels[i + 2]);

    if (!WriteRgbaPngFile(options.output, static_cast<uint32_t>(options.width), static_cast<uint32_t>(options.height),
                          pixels.data(), &error))
        return Fail("cannot write " + options.output + ": " + error);
    return 0;
}

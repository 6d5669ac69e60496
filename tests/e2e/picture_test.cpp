// pardulo-png2raw and pardulo-preview end to end: PNGs of every kind made
// here with libpng, converted, packed by `pardulo d` and drawn again; the
// pixels compared at the precision ARGB4 keeps, the levels worked out here
// apart from the converter.
#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "map_bytes.h"
#include "png_image.h"
#include "test_support.h"

namespace {

using namespace testing_support;

struct Rgba {
    uint32_t r, g, b, a;
};

// A PNG to write: its layout as libpng takes it, and the pixels it stands
// for (samples of 0 to max).
struct Fixture {
    std::string name;
    int color_type = PNG_COLOR_TYPE_RGB_ALPHA;
    int bit_depth = 8;
    bool interlaced = false;
    uint32_t width = 7, height = 5;
    std::vector<png_color> palette;
    std::vector<png_byte> palette_alpha;
    std::vector<unsigned char> rows;  // packed, top to bottom
    std::vector<Rgba> pixels;
    uint32_t max() const { return bit_depth == 16 ? 65535 : 255; }
};

// Writes the fixture (or only its first rows_written rows, cut short there;
// rows holds at least those).
void WritePng(const std::string &path, const Fixture &f, uint32_t rows_written) {
    FILE *out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr) << path;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) != 0) {
        ADD_FAILURE() << "libpng refused to write " << path;
    } else {
        png_init_io(png, out);
        png_set_IHDR(png, info, f.width, f.height, f.bit_depth, f.color_type,
                     f.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        if (!f.palette.empty()) png_set_PLTE(png, info, f.palette.data(), static_cast<int>(f.palette.size()));
        if (!f.palette_alpha.empty())
            png_set_tRNS(png, info, f.palette_alpha.data(), static_cast<int>(f.palette_alpha.size()), nullptr);
        png_write_info(png, info);
        const size_t row_bytes = png_get_rowbytes(png, info);
        const int passes = png_set_interlace_handling(png);
        for (int pass = 0; pass < passes; ++pass) {
            for (uint32_t y = 0; y < rows_written; ++y) png_write_row(png, f.rows.data() + y * row_bytes);
        }
        if (rows_written == f.height) {
            png_write_end(png, nullptr);
        } else {
            png_write_flush(png);
        }
    }
    png_destroy_write_struct(&png, &info);
    std::fclose(out);
}

// Samples that run through the range; alpha full, none or anything between.
uint32_t Sample(size_t pixel, int channel, uint32_t max) {
    if (channel == 3 && pixel % 3 != 2) return pixel % 3 == 0 ? max : 0;
    return static_cast<uint32_t>((pixel * 2654435761u + static_cast<uint32_t>(channel) * 40503u) % (max + 1));
}

Fixture Blank(const std::string &name, int color_type, int bit_depth) {
    Fixture f;
    f.name = name;
    f.color_type = color_type;
    f.bit_depth = bit_depth;
    return f;
}

Fixture Direct(const std::string &name, int color_type, int bit_depth, bool interlaced = false) {
    Fixture f = Blank(name, color_type, bit_depth);
    f.interlaced = interlaced;
    const int channels = ((color_type & PNG_COLOR_MASK_COLOR) ? 3 : 1) + ((color_type & PNG_COLOR_MASK_ALPHA) ? 1 : 0);
    const uint32_t max = f.max();
    for (size_t i = 0; i < size_t{f.width} * f.height; ++i) {
        uint32_t s[4] = {};
        for (int c = 0; c < channels; ++c) {
            s[c] = Sample(i, c == channels - 1 && (color_type & PNG_COLOR_MASK_ALPHA) ? 3 : c, max);
            if (bit_depth == 16) f.rows.push_back(static_cast<unsigned char>(s[c] >> 8));
            f.rows.push_back(static_cast<unsigned char>(s[c]));
        }
        const bool grey = (color_type & PNG_COLOR_MASK_COLOR) == 0;
        const bool alpha = (color_type & PNG_COLOR_MASK_ALPHA) != 0;
        f.pixels.push_back(grey ? Rgba{s[0], s[0], s[0], alpha ? s[1] : max} : Rgba{s[0], s[1], s[2], alpha ? s[3] : max});
    }
    return f;
}

Fixture Palette() {
    Fixture f = Blank("palette", PNG_COLOR_TYPE_PALETTE, 8);
    f.palette = {{255, 0, 0}, {0, 200, 30}, {17, 34, 251}, {128, 128, 128}};
    f.palette_alpha = {255, 0, 120};  // the fourth colour is opaque
    for (size_t i = 0; i < size_t{f.width} * f.height; ++i) {
        const png_byte index = static_cast<png_byte>(i % 4);
        f.rows.push_back(index);
        const png_color c = f.palette[index];
        f.pixels.push_back({c.red, c.green, c.blue, index < 3 ? f.palette_alpha[index] : 255u});
    }
    return f;
}

// The nibble a sample must become: the nearest of 16 even levels.
unsigned Level(uint32_t sample, uint32_t max) { return static_cast<unsigned>(std::lround(sample * 15.0 / max)); }

std::string Argb4Of(const std::vector<Rgba> &pixels, uint32_t max) {
    std::string raw;
    for (const Rgba &p : pixels) {
        const unsigned value = Level(p.a, max) << 12 | Level(p.r, max) << 8 | Level(p.g, max) << 4 | Level(p.b, max);
        raw += static_cast<char>(value & 0xFF);
        raw += static_cast<char>(value >> 8);
    }
    return raw;
}

// A PNG read whole through the program's reader: 8-bit RGBA samples.
struct Decoded {
    uint32_t width = 0, height = 0;
    std::vector<unsigned char> rgba;
    const unsigned char *At(uint32_t x, uint32_t y) const { return rgba.data() + (size_t{y} * width + x) * 4; }
};

Decoded Decode(const std::string &path) {
    Decoded d;
    FILE *in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return d;
    PngReader reader;
    if (reader.Open(in) && reader.sample_max() == 255 && reader.passes() == 1) {
        d.width = reader.width();
        d.height = reader.height();
        d.rgba.resize(reader.row_bytes() * d.height);
        for (uint32_t y = 0; y < d.height; ++y) reader.ReadRow(d.rgba.data() + y * reader.row_bytes());
    }
    std::fclose(in);
    return d;
}

// Where the preview put each block's picture, from its standard output.
std::map<int, std::pair<uint32_t, uint32_t>> Placements(const std::string &out) {
    std::map<int, std::pair<uint32_t, uint32_t>> at;
    const std::regex line(R"(block (\d+)  \S+  .*  at (\d+),(\d+))");
    for (const std::string &text : Lines(out)) {
        std::smatch m;
        if (std::regex_match(text, m, line)) at[std::stoi(m[1])] = {std::stoul(m[2]), std::stoul(m[3])};
    }
    return at;
}

// The preview shows each opaque pixel of raw at its level, and the
// checkerboard where it is transparent.
void ExpectDrawn(const Decoded &preview, std::pair<uint32_t, uint32_t> at, uint32_t width, const std::string &raw) {
    for (size_t i = 0; i < raw.size() / 2; ++i) {
        const unsigned value = static_cast<unsigned char>(raw[2 * i]) | static_cast<unsigned char>(raw[2 * i + 1]) << 8;
        const unsigned char *shown = preview.At(at.first + static_cast<uint32_t>(i % width),
                                                at.second + static_cast<uint32_t>(i / width));
        const unsigned alpha = value >> 12;
        if (alpha == 15) {
            const unsigned char expected[3] = {static_cast<unsigned char>((value >> 8 & 15) * 17),
                                               static_cast<unsigned char>((value >> 4 & 15) * 17),
                                               static_cast<unsigned char>((value & 15) * 17)};
            ASSERT_EQ(std::string(shown, shown + 3), std::string(expected, expected + 3)) << "pixel " << i;
        } else if (alpha == 0) {
            ASSERT_TRUE(shown[0] == 0xF0 || shown[0] == 0xC8) << "pixel " << i << " shows " << int{shown[0]};
        }
    }
}

RunResult RunTool(const TempDir &dir, const std::string &program, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {BuildPath(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, dir.path());
}

TEST(Pictures, EveryKindOfPngBecomesAResourceAndComesBackInThePreview) {
    const std::vector<Fixture> fixtures = {
        Direct("rgba", PNG_COLOR_TYPE_RGB_ALPHA, 8),   Palette(),
        Direct("grey", PNG_COLOR_TYPE_GRAY, 8),        Direct("grey_alpha", PNG_COLOR_TYPE_GRAY_ALPHA, 8),
        Direct("deep", PNG_COLOR_TYPE_RGB_ALPHA, 16),  Direct("deep_grey", PNG_COLOR_TYPE_GRAY, 16),
        Direct("interlaced", PNG_COLOR_TYPE_RGB_ALPHA, 8, true)};
    TempDir dir;
    std::vector<std::string> args = {"--into", "resources"};
    for (const Fixture &f : fixtures) {
        WritePng(dir.file(f.name + ".png"), f, f.height);
        args.push_back(f.name + ".png");
    }
    const RunResult converted = RunTool(dir, "pardulo-png2raw", args);  // the names from the files
    ASSERT_EQ(converted.status, 0) << converted.err;
    for (const Fixture &f : fixtures) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(ReadFile(dir.file("resources/" + f.name + ".rawh")),
                  HeaderLine(7, 5, 14, 70) + "\n");
        EXPECT_EQ(ReadFile(dir.file("resources/" + f.name + ".raw")), Argb4Of(f.pixels, f.max()));
    }

    const RunResult built = RunPardulo(dir, {"d"});
    EXPECT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(built.err, "");
    const RunResult drawn = RunTool(dir, "pardulo-preview", {"preview.png"});
    ASSERT_EQ(drawn.status, 0) << drawn.err;
    const Decoded preview = Decode(dir.file("preview.png"));
    ASSERT_GT(preview.width, 0u);
    const auto at = Placements(drawn.out);
    const auto headers = ListingInNameOrder(dir.file("resources"));
    int block = 0;
    for (const auto &[entry, reclen] : headers) {
        if (entry.size() < 6 || entry.substr(entry.size() - 5) != ".rawh") continue;
        ++block;
        SCOPED_TRACE(entry);
        ASSERT_EQ(at.count(block), 1u) << drawn.out;
        ExpectDrawn(preview, at.at(block), 7, ReadFile(dir.file("resources/" + entry.substr(0, entry.size() - 1))));
    }
    EXPECT_EQ(block, static_cast<int>(fixtures.size()));
}

TEST(Pictures, TheBundledExamplesComeBackFromThePreviewAndThroughTheConverter) {
    TempDir dir;
    std::filesystem::copy(SourcePath("examples/resources"), dir.file("resources"));
    ASSERT_EQ(RunPardulo(dir, {"d"}).status, 0);
    const RunResult drawn = RunTool(dir, "pardulo-preview", {"preview.png"});
    ASSERT_EQ(drawn.status, 0) << drawn.err;
    EXPECT_EQ(drawn.err, "");
    const Decoded preview = Decode(dir.file("preview.png"));
    const auto at = Placements(drawn.out);

    // A resource changed after the map was built: a note on standard error,
    // the same drawing and status.
    const auto map_time = std::filesystem::last_write_time(dir.file("zebmap.map"));
    std::filesystem::last_write_time(dir.file("resources/logo.rawh"), map_time + std::chrono::seconds(5));
    const RunResult stale = RunTool(dir, "pardulo-preview", {"stale.png"});
    EXPECT_EQ(stale.status, 0);
    EXPECT_EQ(stale.out.substr(0, stale.out.rfind("block")), drawn.out.substr(0, drawn.out.rfind("block")));
    EXPECT_NE(stale.err.find("note: resources/logo.rawh is newer than zebmap.map"), std::string::npos) << stale.err;
    EXPECT_NE(stale.err.find("run pardulo d again"), std::string::npos) << stale.err;

    // Each picture drawn, then written as a PNG of its levels and converted
    // back: the same bytes.
    const std::vector<std::pair<std::string, uint32_t>> examples = {
        {"granite", 64}, {"logo", 160}, {"netscape", 108}, {"rose", 70}, {"wizard", 64}};
    std::vector<std::string> args = {"--into", "again"};
    for (size_t i = 0; i < examples.size(); ++i) {
        const auto &[name, width] = examples[i];
        const std::string raw = ReadFile(dir.file("resources/" + name + ".raw"));
        ASSERT_EQ(at.count(static_cast<int>(i) + 1), 1u) << drawn.out;
        ExpectDrawn(preview, at.at(static_cast<int>(i) + 1), width, raw);
        Fixture f = Blank(name, PNG_COLOR_TYPE_RGB_ALPHA, 8);
        f.width = width;
        f.height = static_cast<uint32_t>(raw.size() / 2 / width);
        for (size_t p = 0; p < raw.size(); p += 2) {
            const unsigned value = static_cast<unsigned char>(raw[p]) | static_cast<unsigned char>(raw[p + 1]) << 8;
            for (const int shift : {8, 4, 0, 12}) f.rows.push_back(static_cast<unsigned char>((value >> shift & 15) * 17));
        }
        WritePng(dir.file(name + ".png"), f, f.height);
        args.insert(args.end(), {name + ".png", name});
    }
    const RunResult converted = RunTool(dir, "pardulo-png2raw", args);
    ASSERT_EQ(converted.status, 0) << converted.err;
    for (const auto &[name, width] : examples) {
        EXPECT_TRUE(ReadFile(dir.file("again/" + name + ".raw")) == ReadFile(dir.file("resources/" + name + ".raw")))
            << name;
        EXPECT_EQ(ReadFile(dir.file("again/" + name + ".rawh")), ReadFile(dir.file("resources/" + name + ".rawh")));
    }
}

// One row per input the converter cannot take: a clear message, status 1
// (2 when the names on the command line will not do), and the resource it
// would have replaced left as it was.
TEST(Pictures, TheConverterRefusesWhatItCannotTakeAndKeepsEarlierResources) {
    TempDir dir;
    MakeDir(dir.file("resources"));
    MakeDir(dir.file("folder.png"));
    WriteFile(dir.file("text.png"), "not a picture\n");
    Fixture big = Direct("big", PNG_COLOR_TYPE_RGB, 8);
    big.width = big.height = 32768;  // 2 x 32768 x 32768 is one byte over the largest size
    const std::string noise = RandomBytes(size_t{32768} * 3, 7);  // one row, enough for a first IDAT to go out
    big.rows.assign(noise.begin(), noise.end());
    WritePng(dir.file("big.png"), big, 1);
    const Fixture good = Direct("good", PNG_COLOR_TYPE_RGB_ALPHA, 8);
    WritePng(dir.file("good.png"), good, good.height);
    WritePng(dir.file("cut.png"), good, 2);

    const struct {
        std::vector<std::string> args;
        std::string message;
        int status = 1;
    } rows[] = {
        {{"text.png", "keep"}, "text.png: not a PNG file"},
        {{"missing.png", "keep"}, "cannot read missing.png: No such file or directory"},
        {{"folder.png", "keep"}, "cannot read folder.png: not a regular file"},
        {{"big.png", "keep"}, "big.png: 32768 x 32768 pixels take 2147483648 bytes in ARGB4, more than a resource's "
                              "size holds (2147483647)"},
        {{"cut.png", "keep"}, "cut.png: the file ends before the picture does"},
        {{"good.png", "9lives"}, "good.png: \"9lives\" is not a C identifier", 2},
        {{"good.png", "keep", "good.png", "keep"}, "the name keep is given twice", 2},
        {{"good.png", "keep", "extra"}, "extra: not a picture (PICTURE.png) and no picture before it to name", 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message);
        WriteFile(dir.file("resources/keep.raw"), "earlier");
        WriteFile(dir.file("resources/keep.rawh"), "earlier header\n");
        std::vector<std::string> args = {"--into", "resources"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const RunResult run = RunTool(dir, "pardulo-png2raw", args);
        EXPECT_EQ(run.status, row.status);
        EXPECT_NE(run.err.find("pardulo-png2raw: " + row.message), std::string::npos) << run.err;
        EXPECT_EQ(ReadFile(dir.file("resources/keep.raw")), "earlier");
        EXPECT_EQ(ReadFile(dir.file("resources/keep.rawh")), "earlier header\n");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("resources")), {}), 2);
    }
}

// What cannot be drawn is a labelled box: a record without a header file,
// one whose size is not stride x height, a header file the map has no
// record for. A map cut short is still drawn as far as it goes, but fails.
TEST(Pictures, ThePreviewBoxesWhatItCannotDrawAndFailsOnACutMap) {
    TempDir dir;
    MakeDir(dir.file("resources"));
    for (const char *name : {"a", "b", "c"}) WriteFile(dir.file(std::string("resources/") + name + ".rawh"), HeaderLine(1, 1, 2, 2));
    WriteFile(dir.file("resources/b.rawh"), HeaderLine(2, 1, 4, 4));
    const std::string map = MapFile({MapRecord(1, "ab"), MapRecord(3, "xyz"), MapRecord(5, "zz")});
    WriteFile(dir.file("zebmap.map"), map);

    const RunResult run = RunTool(dir, "pardulo-preview", {"out.png"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    EXPECT_EQ(lines[0], "block 1  a  1 x 1  at 12,12");
    EXPECT_NE(lines[1].find("block 2  b  grey box: not in the map  at "), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("block 3  c  grey box: size 3 is not 2 x 1  at "), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("block 5  -  grey box: no header file  at "), std::string::npos) << lines[3];
    EXPECT_GT(Decode(dir.file("out.png")).width, 0u);

    WriteFile(dir.file("zebmap.map"), map + MapRecord(6, "abc", 9, false));
    const RunResult cut = RunTool(dir, "pardulo-preview", {"--map", "zebmap.map", "--resources", "resources", "cut.png"});
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err, "pardulo-preview: zebmap.map: the record of block 6 is cut short\n");
    EXPECT_GT(Decode(dir.file("cut.png")).width, 0u);
}

}  // namespace

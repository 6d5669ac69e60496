// pardulo-preview: one picture of what a resource map holds, every record
// drawn from its ARGB4 bytes as the display will show it, so that a
// developer sees the pictures before any device is flashed.
//
// The map carries no names: the n-th header file of resources/ in the
// builder's order has block n, and gives the record its name and geometry.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "argb4.h"
#include "file_handles.h"
#include "globals.h"
#include "map_format.h"
#include "png_image.h"
#include "preview_canvas.h"
#include "printable_text.h"
#include "program_options.h"
#include "resource_map.h"
#include "util/failure.h"

namespace {

struct Options {
    std::string map = ZEBMAP_FILE;
    std::string resources = RESOURCES_DIRECTORY;
    std::string out;
};

// One record of the map, or one resource it lacks, as it is drawn.
struct Tile {
    int block = 0;
    std::string name;   // the header file's base name; "" when no header file has the block
    bool drawn = false; // the pixels are drawn; otherwise a labelled grey box
    std::string note;   // under the name: the size, or why there is no picture
    resource_image_t image{};
    off_t data_at = 0;  // where the record's ARGB4 bytes start in the map
    int x = 0, y = 0;   // where the picture or box goes
    int picture_width = 0, picture_height = 0;
};

constexpr int kMargin = 12;
constexpr int kRowWidth = 800;  // tiles wrap to a new row beyond it
constexpr int kBoxWidth = 96;
constexpr int kBoxHeight = 64;
constexpr int kLabelGap = 4;
constexpr int32_t kLargestSide = 4096;
constexpr int64_t kLargestCanvas = int64_t{64} << 20;  // pixels
constexpr std::size_t kLongestName = 40;
constexpr Rgba8 kBackground{0x2B, 0x2B, 0x2B, 0xFF};
constexpr Rgba8 kLabel{0xE6, 0xE6, 0xE6, 0xFF};
constexpr Rgba8 kBox{0x80, 0x80, 0x80, 0xFF};
constexpr Rgba8 kBoxLines{0x60, 0x60, 0x60, 0xFF};

constexpr const char *kProgram = "pardulo-preview";

int Fail(const std::string &text) { return util::Fail(kProgram, text, 1); }

// Why a record of size bytes cannot be drawn with this header, "" when it can.
std::string Undrawable(const resource_image_t &image, int32_t size) {
    const auto text = [](int64_t n) { return std::to_string(n); };
    if (image.width <= 0 || image.height <= 0) return "no pixels: " + text(image.width) + " x " + text(image.height);
    if (image.stride < int64_t{kArgb4BytesPerPixel} * image.width) {
        return "stride " + text(image.stride) + " below 2 x " + text(image.width);
    }
    if (size != int64_t{image.stride} * image.height) {
        return "size " + text(size) + " is not " + text(image.stride) + " x " + text(image.height);
    }
    if (image.width > kLargestSide || image.height > kLargestSide ||
        image.stride > int64_t{kArgb4BytesPerPixel} * kLargestSide * 2) {
        return "too large to draw: " + text(image.width) + " x " + text(image.height);
    }
    return "";
}

// The tile of one record: named and measured by its header file, drawn
// when the two agree.
Tile TileOf(int block, int32_t size, const std::vector<std::string> &headers, const std::string &folder) {
    Tile tile;
    tile.block = block;
    const int index = block - FLASH_INITIAL_BLOCK;
    if (index < 0 || index >= static_cast<int>(headers.size())) {
        tile.note = "no header file";
        return tile;
    }
    const std::string &header_name = headers[static_cast<std::size_t>(index)];
    tile.name = ResourceBaseName(header_name);
    ResourceHeader header;
    const int32_t read = ReadResourceHeader((folder + "/" + header_name).c_str(), &header);
    if (read != kResourceHeaderRead) {
        tile.note = read == kResourceHeaderNotOpened ? "header file not readable" : "malformed header file";
        return tile;
    }
    tile.image = header.image;
    tile.note = Undrawable(header.image, size);
    tile.drawn = tile.note.empty();
    if (tile.drawn) tile.note = std::to_string(header.image.width) + " x " + std::to_string(header.image.height);
    return tile;
}

// Reads the map's records into tiles, their data left in the map until it
// is drawn. False, with *problem, when the map does not read whole; the
// tiles read until then are kept.
bool ReadTiles(FILE *map, const std::vector<std::string> &headers, const std::string &folder,
               std::vector<Tile> *tiles, std::string *problem) {
    struct stat st {};
    const off_t map_size = fstat(fileno(map), &st) == 0 ? st.st_size : 0;
    if (!ReadMapFirstLine(map).ended) {
        *problem = "not a resource map: no first line";
        return false;
    }
    for (;;) {
        MapRecordHeader header;
        const int read = ReadMapRecordHeader(map, &header);
        if (read == kMapEnded) return true;
        if (read == kHeaderCut) {
            *problem = "the map ends inside a record header";
            return false;
        }
        const std::string record = "the record of block " + std::to_string(header.block);
        if (header.size < 0) {
            *problem = record + " has the negative size " + std::to_string(header.size);
            return false;
        }
        Tile tile = TileOf(header.block, header.size, headers, folder);
        tile.data_at = ftello(map);
        if (tile.data_at < 0 || map_size - tile.data_at < header.size) {
            *problem = record + " is cut short";
            return false;
        }
        if (fseeko(map, header.size, SEEK_CUR) != 0) {
            *problem = record + " cannot be read";
            return false;
        }
        tiles->push_back(std::move(tile));
        const int terminator = std::getc(map);
        if (terminator == EOF) return true;
        if (!IsTerminator(terminator)) {
            *problem = record + " has no terminator after its data";
            return false;
        }
    }
}

// A tile for every header file whose block the map has no record for: the
// hole a skipped resource leaves.
void AddMissing(const std::vector<std::string> &headers, std::vector<Tile> *tiles) {
    std::vector<bool> present(kBlockNumbers, false);
    for (const Tile &tile : *tiles) present[static_cast<std::size_t>(tile.block)] = true;
    for (std::size_t i = 0; i < headers.size(); ++i) {
        const int block = FLASH_INITIAL_BLOCK + static_cast<int>(i);
        if (block < kBlockNumbers && present[static_cast<std::size_t>(block)]) continue;
        Tile tile;
        tile.block = block;
        tile.name = ResourceBaseName(headers[i]);
        tile.note = "not in the map";
        tiles->push_back(tile);
    }
    std::stable_sort(tiles->begin(), tiles->end(), [](const Tile &a, const Tile &b) { return a.block < b.block; });
}

std::string TitleOf(const Tile &tile) {
    std::string name = tile.name.size() > kLongestName ? tile.name.substr(0, kLongestName - 3) + "..." : tile.name;
    return "block " + std::to_string(tile.block) + (name.empty() ? "" : " " + name);
}

// Places the tiles left to right in rows; returns the canvas size needed.
void Place(std::vector<Tile> *tiles, int *width, int *height) {
    int x = kMargin;
    int y = kMargin;
    int row_height = 0;
    *width = kMargin;
    for (Tile &tile : *tiles) {
        tile.picture_width = tile.drawn ? tile.image.width : kBoxWidth;
        tile.picture_height = tile.drawn ? tile.image.height : kBoxHeight;
        const int cell_width = std::max({tile.picture_width, Canvas::TextWidth(TitleOf(tile)), Canvas::TextWidth(tile.note)});
        const int cell_height = tile.picture_height + kLabelGap + 2 * kTextLineHeight;
        if (x > kMargin && x + cell_width > kRowWidth) {
            x = kMargin;
            y += row_height + kMargin;
            row_height = 0;
        }
        tile.x = x;
        tile.y = y;
        x += cell_width + kMargin;
        row_height = std::max(row_height, cell_height);
        *width = std::max(*width, x);
    }
    *height = y + row_height + kMargin;
}

// Draws the tile, its pixels read from the map. False when they cannot be
// read (the map changed under the preview).
bool Draw(const Tile &tile, FILE *map, Canvas &canvas) {
    bool read = true;
    if (tile.drawn) {
        canvas.Checkerboard(tile.x, tile.y, tile.picture_width, tile.picture_height);
        std::vector<unsigned char> line(static_cast<std::size_t>(tile.image.stride));
        read = fseeko(map, tile.data_at, SEEK_SET) == 0;
        for (int row = 0; read && row < tile.image.height; ++row) {
            read = std::fread(line.data(), 1, line.size(), map) == line.size();
            for (int column = 0; read && column < tile.image.width; ++column) {
                canvas.Blend(tile.x + column, tile.y + row, UnpackArgb4(line.data() + kArgb4BytesPerPixel * column));
            }
        }
    } else {
        const int right = tile.x + tile.picture_width - 1;
        const int bottom = tile.y + tile.picture_height - 1;
        canvas.Fill(tile.x, tile.y, tile.picture_width, tile.picture_height, kBox);
        canvas.Line(tile.x, tile.y, right, bottom, kBoxLines);
        canvas.Line(tile.x, bottom, right, tile.y, kBoxLines);
    }
    const int label_y = tile.y + tile.picture_height + kLabelGap;
    canvas.Text(tile.x, label_y, TitleOf(tile), kLabel);
    canvas.Text(tile.x, label_y + kTextLineHeight, tile.note, kLabel);
    return read;
}

void DefineOptions(CLI::App &app, Options &options) {
    PrepareProgramOptions(
        app,
        "Draws every record of the resource map into one picture, as the display will\n"
        "show it: its ARGB4 bytes with the geometry of its header file (the n-th header\n"
        "file of DIR in the builder's order has block n), on a checkerboard where it is\n"
        "not opaque, its block and name under it. A record without a header file, or\n"
        "whose size is not stride x height, is a labelled grey box; so is a header file\n"
        "whose block the map has no record for. Standard output: one line per record\n"
        "and where it is drawn.");
    app.add_option("--map", options.map, "the map (default " ZEBMAP_FILE ")")->type_name("FILE")->check(NonEmpty());
    app.add_option("--resources", options.resources, "the header files (default " RESOURCES_DIRECTORY ")")
        ->type_name("DIR")
        ->check(NonEmpty());
    app.add_option("OUT.png", options.out, "the picture to write")->required()->check(NonEmpty());
    app.footer("Exit status 0 when the preview was written and the map read whole, 1 otherwise,\n"
               "2 for a bad command line.");
}

// A map older than a file of resources/ was built from other resources:
// its records may no longer fit the headers it is drawn with (grey boxes, or
// the wrong names). Said on standard error; the drawing goes on as asked.
void NoteResourcesNewerThanMap(const std::string &map, const std::string &resources) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_time_type map_time = fs::last_write_time(map, error);
    if (error) return;
    // Every step with an error code: a folder that cannot be read only
    // leaves the note out.
    for (fs::directory_iterator it(resources, error), end; !error && it != end; it.increment(error)) {
        std::error_code entry_error;
        const bool newer = it->is_regular_file(entry_error) && it->last_write_time(entry_error) > map_time;
        if (!newer || entry_error) continue;
        util::PrintFailure(kProgram, "note: " + resources + "/" + PrintableText(it->path().filename().u8string().c_str()) +
                                         " is newer than " + map +
                                         "; the map may not be built from the resources as they are now "
                                         "(run pardulo d again)");
        return;
    }
}

int Preview(int argc, char **argv) {
    Options options;
    CLI::App app(kProgram, kProgram);
    DefineOptions(app, options);
    if (const int status = ParseProgramOptions(app, argc, argv); status != kOptionsParsed) return status;

    // The header files name the blocks; without them every record is a box.
    std::vector<std::string> headers;
    if (!ListResourceHeaders(options.resources.c_str(), &headers)) {
        util::PrintFailure(kProgram, "cannot list " + options.resources + ": no record has a name or a size");
    }
    const FilePtr map = OpenRegularFile(options.map.c_str(), "rb");
    if (!map) return Fail("cannot read " + options.map);
    NoteResourcesNewerThanMap(options.map, options.resources);
    std::vector<Tile> tiles;
    std::string problem;
    const bool whole = ReadTiles(map.get(), headers, options.resources, &tiles, &problem);
    if (!whole) util::PrintFailure(kProgram, options.map + ": " + problem);
    AddMissing(headers, &tiles);

    int width = 0;
    int height = 0;
    Place(&tiles, &width, &height);
    if (tiles.empty()) width = std::max(width, 2 * kMargin + Canvas::TextWidth("no records"));
    if (int64_t{width} * height > kLargestCanvas) {
        return Fail("the preview would be " + std::to_string(width) + " x " + std::to_string(height) +
                    " pixels, too large for one picture");
    }
    Canvas canvas(width, height, kBackground);
    if (tiles.empty()) canvas.Text(kMargin, kMargin, "no records", kLabel);
    bool drawn = true;
    for (const Tile &tile : tiles) {
        if (!Draw(tile, map.get(), canvas)) drawn = false;
        std::printf("block %d  %s  %s%s  at %d,%d\n", tile.block,
                    tile.name.empty() ? "-" : PrintableText(tile.name.c_str()).c_str(), tile.drawn ? "" : "grey box: ",
                    tile.note.c_str(), tile.x, tile.y);
    }
    if (!drawn) util::PrintFailure(kProgram, options.map + ": changed while it was drawn");
    std::string error;
    if (!WriteRgbaPngFile(options.out, static_cast<uint32_t>(canvas.width()), static_cast<uint32_t>(canvas.height()),
                          canvas.rgba(), &error))
        return Fail("cannot write " + options.out + ": " + error);
    std::printf("%s: %d x %d pixels\n", options.out.c_str(), width, height);
    return whole && drawn ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return Preview(argc, argv);
    } catch (const std::bad_alloc &) {
        return Fail("out of memory");
    }
}

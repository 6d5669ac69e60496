// pardulo-png2raw: turns PNG pictures into display resources, each a pair
// NAME.raw (the pixels in ARGB4) and NAME.rawh (the header line the map
// builder reads), ready for resources/ and `pardulo d`.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "argb4.h"
#include "file_handles.h"
#include "globals.h"
#include "png_image.h"
#include "program_options.h"
#include "resource_map.h"
#include "util/failure.h"

namespace {

constexpr const char *kProgram = "pardulo-png2raw";
constexpr int kNotConverted = 1;

// The builder takes header paths of up to PATH_MAX_SIZE characters, which
// leaves 240 for "NAME.rawh".
constexpr std::size_t kLongestName =
    PATH_MAX_SIZE - (sizeof RESOURCES_DIRECTORY - 1) - (sizeof PATH_SEPARATOR - 1) - (sizeof ".rawh" - 1);

struct Picture {
    std::string path;
    std::string name;
};

void Complain(const std::string &text) { util::PrintFailure(kProgram, text); }

// A command line whose pictures and names do not pair up or will not do.
int BadCommandLine(const std::string &text) { return util::Fail(kProgram, text + " (see --help)", kBadCommandLine); }

bool EndsWithPng(const std::string &arg) {
    if (arg.size() < 4) return false;
    std::string end = arg.substr(arg.size() - 4);
    for (char &c : end) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return end == ".png";
}

// The picture's file name less its folder and its ".png".
std::string NameOfPicture(const std::string &path) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    return file.substr(0, file.size() - 4);
}

// "" when the name will do, else why not.
std::string NameProblem(const Picture &picture, bool given) {
    const std::string quoted = "\"" + picture.name + "\"";
    if (!IsCIdentifier(picture.name)) {
        return quoted + " is not a C identifier (letters, digits and _, not starting with a digit)" +
               (given ? "" : "; give a NAME after " + picture.path);
    }
    if (picture.name.size() > kLongestName) {
        return quoted + " is longer than " + std::to_string(kLongestName) + " characters";
    }
    return "";
}

// Removes the files of an unfinished conversion when it goes out of scope.
struct PartialFiles {
    std::vector<std::string> paths;
    ~PartialFiles() {
        for (const std::string &path : paths) std::remove(path.c_str());
    }
};

bool WriteText(const std::string &path, const std::string &text) {
    FilePtr file = CreateOutputFile(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    return std::fclose(file.release()) == 0 && written;
}

// Converts rows of RGBA samples into ARGB4 pixels.
void PackRow(const PngReader &reader, const unsigned char *row, unsigned char *out) {
    const uint32_t max = reader.sample_max();
    for (std::size_t x = 0; x < reader.width(); ++x) {
        const auto nibble = [&](std::size_t channel) { return RoundToNibble(reader.Sample(row, 4 * x + channel), max); };
        PackArgb4(nibble(3), nibble(0), nibble(1), nibble(2), out + kArgb4BytesPerPixel * x);
    }
}

// The picture's rows as ARGB4 into raw, and the rest of the PNG read.
// An interlaced picture needs all its rows at once; any other, one.
bool WritePixels(PngReader &reader, FILE *raw, const std::string &where) {
    std::vector<unsigned char> rows;
    std::vector<unsigned char> packed(std::size_t{kArgb4BytesPerPixel} * reader.width());
    const std::size_t kept_rows = reader.passes() > 1 ? reader.height() : 1;
    try {
        rows.resize(reader.row_bytes() * kept_rows);
    } catch (const std::bad_alloc &) {
        Complain(where + ": too large to convert in this machine's memory");
        return false;
    }
    for (int pass = 0; pass < reader.passes(); ++pass) {
        for (std::size_t y = 0; y < reader.height(); ++y) {
            unsigned char *row = rows.data() + (kept_rows > 1 ? y * reader.row_bytes() : 0);
            if (!reader.ReadRow(row)) {
                Complain(where + ": " + reader.error());
                return false;
            }
            if (kept_rows > 1) continue;
            PackRow(reader, row, packed.data());
            std::fwrite(packed.data(), 1, packed.size(), raw);
        }
    }
    for (std::size_t y = 0; kept_rows > 1 && y < reader.height(); ++y) {
        PackRow(reader, rows.data() + y * reader.row_bytes(), packed.data());
        std::fwrite(packed.data(), 1, packed.size(), raw);
    }
    if (!reader.Finish()) {
        Complain(where + ": " + reader.error());
        return false;
    }
    return true;
}

// One picture into folder/NAME.raw and folder/NAME.rawh. The outputs are
// written beside them under other names first and put in place only when
// whole, so an error leaves earlier ones as they were.
bool Convert(const Picture &picture, const std::string &folder) {
    const std::string &where = picture.path;
    errno = 0;
    const FilePtr in = OpenRegularFile(where.c_str(), "rb");
    if (!in) {
        Complain("cannot read " + where + ": " + (errno != 0 ? std::strerror(errno) : "not a regular file"));
        return false;
    }
    PngReader reader;
    if (!reader.Open(in.get())) {
        Complain(where + ": " + reader.error());
        return false;
    }
    const uint64_t size = uint64_t{kArgb4BytesPerPixel} * reader.width() * reader.height();
    if (size > static_cast<uint64_t>(INT32_MAX)) {
        Complain(where + ": " + std::to_string(reader.width()) + " x " + std::to_string(reader.height()) +
                 " pixels take " + std::to_string(size) + " bytes in ARGB4, more than a resource's size holds (" +
                 std::to_string(INT32_MAX) + ")");
        return false;
    }

    const std::string base = folder + "/" + picture.name;
    const std::string raw_part = folder + "/." + picture.name + ".raw.part";
    const std::string header_part = folder + "/." + picture.name + ".rawh.part";
    PartialFiles partial{{raw_part, header_part}};
    FilePtr raw = CreateOutputFile(raw_part.c_str(), "wb");
    if (!raw) {
        Complain("cannot create " + raw_part + ": " + std::strerror(errno));
        return false;
    }

    if (!WritePixels(reader, raw.get(), where)) return false;
    const bool raw_written = std::ferror(raw.get()) == 0;
    if (std::fclose(raw.release()) != 0 || !raw_written) {
        Complain("cannot write " + raw_part + ": " + std::strerror(errno));
        return false;
    }
    const auto width = static_cast<int32_t>(reader.width());
    const auto height = static_cast<int32_t>(reader.height());
    if (!WriteText(header_part, FormatResourceHeaderLine(width, height))) {
        Complain("cannot write " + header_part + ": " + std::strerror(errno));
        return false;
    }

    std::error_code error;
    std::filesystem::rename(raw_part, base + ".raw", error);
    if (!error) std::filesystem::rename(header_part, base + ".rawh", error);
    if (error) {
        Complain("cannot put " + base + ".raw and .rawh in place: " + error.message());
        return false;
    }
    std::printf("%s: %d x %d -> %s.raw (%llu bytes), %s.rawh\n", where.c_str(), width, height, base.c_str(),
                static_cast<unsigned long long>(size), base.c_str());
    return true;
}

void DefineOptions(CLI::App &app, std::string &folder, std::vector<std::string> &words) {
    PrepareProgramOptions(
        app,
        "Converts each PNG picture into a display resource: NAME.raw, the pixels in\n"
        "ARGB4 (2 bytes a pixel, 16-bit little-endian, nibbles alpha, red, green, blue\n"
        "from the most significant down, each channel rounded to 4 bits), and\n"
        "NAME.rawh, the header line `pardulo d` reads (width, height, ARGB4, stride\n"
        "2 x width, size). NAME is a C identifier; without one the picture's file\n"
        "name less .png is taken. Any PNG will do: palette, grey, with or without\n"
        "alpha, 8 or 16 bits a channel.");
    app.add_option("--into", folder,
                   "write the resources into DIR (made when missing), for instance\n"
                   "resources; without it, into the working directory")
        ->type_name("DIR")
        ->check(NonEmpty());
    app.add_option("PICTURE.png [NAME]", words, "a picture (ends in .png) and, after it, its name")->required();
    app.footer("Exit status 0 when every picture was converted, 1 otherwise, 2 for a bad\n"
               "command line.");
}

// The words after the options as pictures: they end in .png; a word after
// a picture is its name. "" when they pair up, else why not.
std::string PairPictures(const std::vector<std::string> &words, std::vector<Picture> &pictures,
                         std::vector<bool> &named) {
    for (const std::string &word : words) {
        if (EndsWithPng(word)) {
            pictures.push_back({word, NameOfPicture(word)});
            named.push_back(false);
        } else if (!pictures.empty() && !named.back()) {
            pictures.back().name = word;
            named.back() = true;
        } else {
            return word + ": not a picture (PICTURE.png) and no picture before it to name";
        }
    }
    // Every name checked before anything is written.
    std::set<std::string> names;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const std::string problem = NameProblem(pictures[i], named[i]);
        if (!problem.empty()) return pictures[i].path + ": " + problem;
        if (!names.insert(pictures[i].name).second) return "the name " + pictures[i].name + " is given twice";
    }
    return "";
}

}  // namespace

int main(int argc, char **argv) {
    std::string folder = ".";
    std::vector<std::string> words;
    CLI::App app(kProgram, kProgram);
    DefineOptions(app, folder, words);
    if (const int status = ParseProgramOptions(app, argc, argv); status != kOptionsParsed) return status;
    std::vector<Picture> pictures;
    std::vector<bool> named;
    const std::string problem = PairPictures(words, pictures, named);
    if (!problem.empty()) return BadCommandLine(problem);

    std::error_code error;
    std::filesystem::create_directory(folder, error);
    if (error || !std::filesystem::is_directory(folder, error)) {
        return util::Fail(kProgram, "cannot make the folder " + folder + (error ? ": " + error.message() : ""),
                          kNotConverted);
    }

    bool all = true;
    for (const Picture &picture : pictures) all = Convert(picture, folder) && all;
    return all ? 0 : kNotConverted;
}

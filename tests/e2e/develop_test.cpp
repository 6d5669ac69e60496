// The program as a developer runs it: `pardulo d` in a working directory
// with a resources/ folder, its standard output, its files and its status.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "map_bytes.h"
#include "test_support.h"

namespace {

using testing_support::Be16;
using testing_support::Be32;
using testing_support::BuildPath;
using testing_support::FileExists;
using testing_support::HeaderLine;
using testing_support::Lines;
using testing_support::ListingInNameOrder;
using testing_support::MakeDir;
using testing_support::MapRecord;
using testing_support::ReadFile;
using testing_support::RunProgram;
using testing_support::RunResult;
using testing_support::SourcePath;
using testing_support::TempDir;
using testing_support::WriteFile;


std::string SnippetBlock(const std::string &base, int width, int height, int stride, int block) {
    const std::string b = std::to_string(block);
    return "\nBitmap_header_t " + base + "_header[] = \n{\n // format,width,height,stride,arrayoffset \n { ARGB4, " +
           std::to_string(width) + ", " + std::to_string(height) + ", " + std::to_string(stride) +
           ", 0 }\n};\n /* Add a line like the one below (replacing IMG_x) to ImgResource[] array: \n { IMG_x, " +
           base + "_header,  NULL, 0,  1, " + b + "}, // from flash block " + b + " \n */ \n\n";
}

// What one candidate entry adds to the output, the map and the snippet,
// given the block number it gets.
struct Expected {
    std::string out, map, snippet;
    bool ends_build = false;  // a fatal failure: no further entry is read
};
using EntryRule = std::function<Expected(int block)>;

std::string Opening(const std::string &path) { return "Opening file '" + path + "' ...\n"; }
std::string Values(int width, int height, int stride, size_t size) {
    return "width=" + std::to_string(width) + ", height=" + std::to_string(height) + ", stride=" +
           std::to_string(stride) + ", size=" + std::to_string(size) + "\n";
}

// A resource whose header (resources/<entry>) and data (the entry less its
// last character) are both fine.
EntryRule Good(const std::string &entry, int width, int height, int stride, const std::string &data) {
    return [=](int block) {
        const std::string header = "resources/" + entry;
        return Expected{Opening(header) + Values(width, height, stride, data.size()) +
                            Opening(header.substr(0, header.size() - 1)) + " " + std::to_string(data.size()) +
                            " bytes written\n",
                        MapRecord(block, data), SnippetBlock(entry.substr(0, entry.size() - 5), width, height, stride, block)};
    };
}

EntryRule HeaderFails(const std::string &entry) {
    return [=](int) {
        const std::string header = "resources/" + entry;
        return Expected{Opening(header) + "* ERROR * failed opening header file '" + header + "'\n", "", ""};
    };
}

EntryRule Malformed(const std::string &entry) {
    return [=](int) {
        const std::string header = "resources/" + entry;
        return Expected{Opening(header) + "* ERROR * malformed header file '" + header + "'\n", "", ""};
    };
}

EntryRule DataFails(const std::string &entry, int width, int height, int stride, size_t size) {
    return [=](int block) {
        const std::string header = "resources/" + entry;
        const std::string data = header.substr(0, header.size() - 1);
        return Expected{Opening(header) + Values(width, height, stride, size) + Opening(data) +
                            "* ERROR * failed opening binary file '" + data + "'\n",
                        "", SnippetBlock(entry.substr(0, entry.size() - 5), width, height, stride, block)};
    };
}

// Walks resources/ in name order, as the program does, and puts together
// what a build prints and writes. Every candidate
// entry must have its rule; every other entry prints only its File: line.
Expected ExpectBuild(const TempDir &dir, const std::map<std::string, EntryRule> &rules) {
    Expected total{"", "\r", ""};
    int block = 1;
    for (const auto &[name, reclen] : ListingInNameOrder(dir.file("resources"))) {
        total.out += "File: '" + name + "' [reclen=" + std::to_string(reclen) + "]\n";
        const auto rule = rules.find(name);
        if (rule == rules.end()) continue;
        const Expected e = rule->second(block++);
        total.out += e.out;
        total.map += e.map;
        total.snippet += e.snippet;
        if (e.ends_build) break;
    }
    return total;
}

// The checker's report on a map of complete records.
std::string CheckReport(const std::vector<std::pair<int, size_t>> &records) {
    std::string report = "** Reading for check....\nfirst line=''\n";
    for (const auto &[block, size] : records)
        report += "Reading from block " + std::to_string(block) + "  -> size " + std::to_string(size) + "\nOK...\n";
    return report;
}

std::string Banner() {
    return "\n Usage: " + BuildPath("pardulo") +
           " {d, p, r, g} [port] \n"
           "        (d=develop, p=production, r=reset only, g=get last stored screenshot)\n"
           "        (port=serial port to use. I.E:\"COM1\")\n";
}

bool IsEmptyDir(const std::string &path) { return std::filesystem::is_empty(path); }

// ---------------------------------------------------------------------------

TEST(develop_command_line, WithoutAKnownModePrintsTheBannerAndFails) {
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {}, {"D"}, {"dd"}, {"-d"}, {""}, {"x", "COM3"}}) {
        SCOPED_TRACE(args.empty() ? "(no argument)" : args[0]);
        TempDir dir;
        MakeDir(dir.file("resources"));
        const RunResult run = RunPardulo(dir, args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(Lines(run.out), Lines(Banner()));
        EXPECT_EQ(run.out, Banner());
        EXPECT_FALSE(FileExists(dir.file("zebmap.map")));
        EXPECT_FALSE(FileExists(dir.file("zebmap.c")));
    }
}

// The bundled examples, as the demo runs them. (Suites are named after the
// mode so that `ctest -R develop` picks them.)
class develop_examples : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy(SourcePath("examples/resources"), dir_.file("resources"));
        for (const auto &[base, size] : kPictures) {
            const std::string data = ReadFile(dir_.file("resources/" + base + ".raw"));
            ASSERT_EQ(data.size(), static_cast<size_t>(size.first * size.second * 2)) << base;
            rules_[base + ".rawh"] = Good(base + ".rawh", size.first, size.second, size.first * 2, data);
        }
    }

    const std::map<std::string, std::pair<int, int>> kPictures = {
        {"rose", {70, 46}}, {"wizard", {64, 80}}, {"granite", {64, 64}}, {"netscape", {108, 72}}, {"logo", {160, 120}}};
    TempDir dir_;
    std::map<std::string, EntryRule> rules_;
};

TEST_F(develop_examples, PacksEveryPictureAndChecksTheMap) {
    const Expected expected = ExpectBuild(dir_, rules_);
    // Blocks in name order, whatever order the copy left in the folder.
    std::vector<std::pair<int, size_t>> records;
    for (const char *base : {"granite", "logo", "netscape", "rose", "wizard"}) {
        const auto &size = kPictures.at(base);
        records.emplace_back(static_cast<int>(records.size()) + 1, size.first * size.second * 2);
    }

    // A port argument means nothing to develop mode.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{{"d"}, {"d", "COM7"}}) {
        SCOPED_TRACE(args.size());
        const RunResult run = RunPardulo(dir_, args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(Lines(run.out), Lines(expected.out + CheckReport(records)));
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(ReadFile(dir_.file("zebmap.map")) == expected.map) << "map differs";
        EXPECT_EQ(ReadFile(dir_.file("zebmap.c")), expected.snippet);
    }
}

TEST_F(develop_examples, SnippetCompilesAsCInsideFirmwareSources) {
    ASSERT_EQ(RunPardulo(dir_, {"d"}).status, 0);
    WriteFile(dir_.file("firmware.c"),
              "#include <stddef.h>\n"
              "typedef enum { RGB565, ARGB4 } bitmap_format_t;\n"
              "typedef struct {\n"
              "    bitmap_format_t format;\n"
              "    int width, height, stride;\n"
              "    unsigned long arrayoffset;\n"
              "} Bitmap_header_t;\n"
              "#include \"zebmap.c\"\n"
              "int firmware_width(void) { return logo_header[0].width + rose_header[0].height; }\n");
    const RunResult cc = RunProgram({"/usr/bin/env", "cc", "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror", "-c",
                                     "firmware.c", "-o", "firmware.o"},
                                    dir_.path());
    EXPECT_EQ(cc.status, 0) << cc.out << cc.err;
    EXPECT_TRUE(FileExists(dir_.file("firmware.o")));
}

// Odd resource sets a developer may well have lying around.
TEST(develop_mode, NumbersEveryCandidateAndReportsWhatItSkipped) {
    TempDir dir;
    MakeDir(dir.file("resources"));
    const auto put = [&](const std::string &name, const std::string &bytes) { WriteFile(dir.file("resources/" + name), bytes); };
    const std::string special = std::string("\0\n\r\x1a\0\n\r\x1a", 8);
    put("special.rawh", HeaderLine(2, 2, 4, 8) + "\r\nsecond line\r\n");       // CRLF line ends
    put("special.raw", special);
    put("wide.rawh", HeaderLine(1, 1, 2, 2) + std::string(600, ' ') + "\n");  // 600+ characters
    put("wide.raw", "WIDE and more than needed");
    put("empty.rawh", HeaderLine(0, 0, 0, 0));                                // size 0, no line feed
    put("empty.raw", "");
    put("nodata.rawh", HeaderLine(4, 4, 8, 32) + "\n");
    put("bad.rawh", "/*('file properties: ', 'resolution ', wide, 'x', 50)*/\n");
    put("bad.raw", "xx");
    MakeDir(dir.file("resources/folder.rawh"));
    put("x.rawh", HeaderLine(1, 1, 2, 1) + "\n");
    put("x.raw", "X");
    put("LOGO.RAWH", HeaderLine(1, 1, 2, 1) + "\n");
    put("xrawh", HeaderLine(1, 1, 2, 1) + "\n");
    put("logorawh", HeaderLine(1, 1, 2, 2) + "\n");  // no dot: base name "log", data file "logoraw"
    put("logoraw", "LR");
    put("readme.txt", "not a resource\n");

    const Expected expected = ExpectBuild(dir, {
                                                   {"special.rawh", Good("special.rawh", 2, 2, 4, special)},
                                                   {"wide.rawh", Good("wide.rawh", 1, 1, 2, "WI")},
                                                   {"empty.rawh", Good("empty.rawh", 0, 0, 0, "")},
                                                   {"nodata.rawh", DataFails("nodata.rawh", 4, 4, 8, 32)},
                                                   {"bad.rawh", Malformed("bad.rawh")},
                                                   {"folder.rawh", HeaderFails("folder.rawh")},
                                                   {"x.rawh", Good("x.rawh", 1, 1, 2, "X")},
                                                   {"logorawh", Good("logorawh", 1, 1, 2, "LR")},
                                               });
    std::vector<std::pair<int, size_t>> records;
    const std::string map = expected.map;
    for (size_t at = 1; at < map.size();) {  // the blocks and sizes the map should hold
        const int block = static_cast<unsigned char>(map[at]) * 256 + static_cast<unsigned char>(map[at + 1]);
        size_t size = 0;
        for (size_t i = 2; i < 6; ++i) size = size * 256 + static_cast<unsigned char>(map[at + i]);
        records.emplace_back(block, size);
        at += size + 7;
    }
    ASSERT_EQ(records.size(), 5u);

    const RunResult run = RunPardulo(dir, {"d"});
    EXPECT_EQ(run.status, 1);  // something was skipped
    EXPECT_EQ(Lines(run.out), Lines(expected.out + CheckReport(records)));
    EXPECT_TRUE(ReadFile(dir.file("zebmap.map")) == expected.map) << "map differs";
    EXPECT_EQ(ReadFile(dir.file("zebmap.c")), expected.snippet);
}

// Resources the firmware or the device will not want: each warned of on
// standard error, in listing order, while standard output and the outputs
// stay as the build's rules have them.
TEST(develop_mode, WarnsOnStandardErrorOfWhatTheFirmwareOrTheDeviceWillNotTake) {
    TempDir dir;
    MakeDir(dir.file("resources"));
    const auto put = [&](const std::string &name, const std::string &bytes) { WriteFile(dir.file("resources/" + name), bytes); };
    put("fine.rawh", HeaderLine(2, 1, 4, 4) + "\n");
    put("fine.raw", "abcd");
    put("my-logo.rawh", HeaderLine(1, 1, 2, 2) + "\n");
    put("my-logo.raw", "ab");
    put("rgb.rawh", "/*('file properties: ', 'resolution ', 2, 'x', 1, 'format ', 'RGB565', 'stride ', 4, ' total size ', 4)*/\n");
    put("rgb.raw", "abcd");
    put("narrow.rawh", HeaderLine(4, 2, 6, 12) + "\n");
    put("narrow.raw", std::string(12, 'n'));
    put("short.rawh", HeaderLine(2, 2, 4, 6) + "\n");
    put("short.raw", std::string(6, 's'));
    put("log.rawh", HeaderLine(1, 1, 2, 2) + "\n");
    put("log.raw", "L1");
    put("logorawh", HeaderLine(1, 1, 2, 2) + "\n");  // also declares log_header
    put("logoraw", "L2");
    put("nodata.rawh", HeaderLine(1, 1, 2, 2) + "\n");
    put("bad.rawh", "no numbers here\n");

    const Expected expected = ExpectBuild(dir, {
                                                   {"bad.rawh", Malformed("bad.rawh")},
                                                   {"fine.rawh", Good("fine.rawh", 2, 1, 4, "abcd")},
                                                   {"log.rawh", Good("log.rawh", 1, 1, 2, "L1")},
                                                   {"logorawh", Good("logorawh", 1, 1, 2, "L2")},
                                                   {"my-logo.rawh", Good("my-logo.rawh", 1, 1, 2, "ab")},
                                                   {"narrow.rawh", Good("narrow.rawh", 4, 2, 6, std::string(12, 'n'))},
                                                   {"nodata.rawh", DataFails("nodata.rawh", 1, 1, 2, 2)},
                                                   {"rgb.rawh", Good("rgb.rawh", 2, 1, 4, "abcd")},
                                                   {"short.rawh", Good("short.rawh", 2, 2, 4, std::string(6, 's'))},
                                               });
    const RunResult run = RunPardulo(dir, {"d"});
    EXPECT_EQ(run.status, 1);  // two resources skipped, as without the warnings
    const std::string out = run.out.substr(0, run.out.find("** Reading for check....\n"));
    EXPECT_EQ(Lines(out), Lines(expected.out));
    EXPECT_TRUE(ReadFile(dir.file("zebmap.map")) == expected.map) << "map differs";
    EXPECT_EQ(ReadFile(dir.file("zebmap.c")), expected.snippet);
    EXPECT_EQ(Lines(run.err),
              (std::vector<std::string>{
                  "warning: resources/bad.rawh skipped: zebmap.map has no record for block 1; the device will have "
                  "no picture there",
                  "warning: resources/logorawh: \"log_header\" is declared by resources/log.rawh already; zebmap.c "
                  "will not compile",
                  "warning: resources/my-logo.rawh: \"my-logo_header\" is not a C identifier; zebmap.c will not "
                  "compile",
                  "warning: resources/narrow.rawh: stride 6 is below 2 x width (8)",
                  "warning: resources/nodata.rawh skipped: zebmap.map has no record for block 7, which zebmap.c "
                  "declares all the same; the device will have no picture there",
                  "warning: resources/rgb.rawh: format 'RGB565', but zebmap.c declares ARGB4 and the device reads the "
                  "data as ARGB4",
                  "warning: resources/short.rawh: size 6 is not stride x height (4 x 2 = 8)",
              }));
}

// The same folder gives the same blocks on every machine: a folder filled in
// another order than its names', with mixed case and a non-ASCII name.
TEST(develop_mode, NumbersTheResourcesInNameOrderWhateverTheFolderListsFirst) {
    TempDir dir;
    MakeDir(dir.file("resources"));
    const std::vector<std::string> made = {"zeta", "\xc3\xa9" "clair", "beta", "_under", "Beta", "alpha2", "Alpha"};
    for (const std::string &base : made) {
        WriteFile(dir.file("resources/" + base + ".rawh"), HeaderLine(1, 1, 2, static_cast<long>(base.size())) + "\n");
        WriteFile(dir.file("resources/" + base + ".raw"), base);
    }
    const std::vector<std::string> in_order = {"Alpha", "alpha2", "Beta", "beta", "zeta", "_under", "\xc3\xa9" "clair"};

    const RunResult run = RunPardulo(dir, {"d"});
    ASSERT_EQ(run.status, 0) << run.out;
    std::vector<std::string> file_lines;
    for (const std::string &line : Lines(run.out))
        if (line.rfind("File: '", 0) == 0) file_lines.push_back(line.substr(7, line.find('\'', 7) - 7));
    // "beta.raw" folds to a prefix of "BETA.RAWH": it comes between the two Beta files.
    const std::vector<std::string> expected_lines = {
        ".", "..", "Alpha.raw", "Alpha.rawh", "alpha2.raw", "alpha2.rawh", "Beta.raw", "beta.raw", "Beta.rawh",
        "beta.rawh", "zeta.raw", "zeta.rawh", "_under.raw", "_under.rawh", "\xc3\xa9" "clair.raw", "\xc3\xa9" "clair.rawh"};
    std::string map = "\r";
    for (std::size_t i = 0; i < in_order.size(); ++i) {
        map += MapRecord(static_cast<int>(i) + 1, in_order[i]);
        EXPECT_NE(ReadFile(dir.file("zebmap.c")).find(" { IMG_x, " + in_order[i] + "_header,  NULL, 0,  1, " +
                                                      std::to_string(i + 1) + "}"),
                  std::string::npos)
            << in_order[i];
    }
    EXPECT_EQ(file_lines, expected_lines);
    EXPECT_TRUE(ReadFile(dir.file("zebmap.map")) == map) << "map differs";
}

TEST(develop_mode, AShortDataFileLeavesAPartialRecordThatTheCheckReports) {
    TempDir dir;
    MakeDir(dir.file("resources"));
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    WriteFile(dir.file("resources/short.rawh"), HeaderLine(400, 200, 800, 160000) + "\n");
    WriteFile(dir.file("resources/short.raw"), data);

    const Expected expected = ExpectBuild(dir, {{"short.rawh", [](int) {
                                                     Expected e;
                                                     e.out = Opening("resources/short.rawh") +
                                                             Values(400, 200, 800, 160000) +
                                                             Opening("resources/short.raw") +
                                                             "* Unattended EOF after 100000 bytes\n";
                                                     e.ends_build = true;
                                                     return e;
                                                 }}});
    const RunResult run = RunPardulo(dir, {"d"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.out), Lines(expected.out +
                                    "** Reading for check....\n"
                                    "first line=''\n"
                                    "Reading from block 1  -> size 160000\n"
                                    "ERR: Unattended end of file after read 100000 bytes [of 160000]\n"));
    EXPECT_TRUE(ReadFile(dir.file("zebmap.map")) == "\r" + Be16(1) + Be32(160000) + data) << "map differs";
}

TEST(develop_mode, WithoutResourcesDirectoryKeepsTheEarlierOutputs) {
    TempDir dir;
    const std::string earlier_map = "\r" + MapRecord(1, "abc") + MapRecord(2, "");
    WriteFile(dir.file("zebmap.map"), earlier_map);
    WriteFile(dir.file("zebmap.c"), "/* earlier */\n");

    const RunResult run = RunPardulo(dir, {"d"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.out), Lines("* ERROR * Couldn't open the directory resources\n" + CheckReport({{1, 3}, {2, 0}})));
    EXPECT_EQ(ReadFile(dir.file("zebmap.map")), earlier_map);
    EXPECT_EQ(ReadFile(dir.file("zebmap.c")), "/* earlier */\n");

    TempDir bare;
    const RunResult nothing = RunPardulo(bare, {"d"});
    EXPECT_EQ(nothing.status, 1);
    EXPECT_EQ(nothing.out, "* ERROR * Couldn't open the directory resources\n** Reading for check....\n");
    EXPECT_TRUE(IsEmptyDir(bare.path()));
}

// Run in the wrong folder, the build names on standard error the folder it
// looked in and what it wants there; the report on standard output is the
// one line tooling knows, whatever stood in the way.
TEST(develop_mode, WithoutResourcesDirectoryNamesTheFolderItLookedIn) {
    const std::map<std::string, std::function<void(TempDir &)>> cases = {
        {"No such file or directory", [](TempDir &) {}},
        {"Not a directory", [](TempDir &dir) { WriteFile(dir.file("resources"), "a file"); }},
    };
    for (const auto &[reason, prepare] : cases) {
        SCOPED_TRACE(reason);
        TempDir dir;
        prepare(dir);
        const RunResult run = RunPardulo(dir, {"d"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "* ERROR * Couldn't open the directory resources\n** Reading for check....\n");
        const std::string folder = std::filesystem::canonical(dir.path()).string();
        const std::string opening = "hint: resources/ could not be opened in " + folder + " (" + reason + "): ";
        EXPECT_EQ(run.err.substr(0, opening.size()), opening);
        EXPECT_NE(run.err.find("NAME.rawh"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("NAME.raw "), std::string::npos) << run.err;
        EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
    }
}

TEST(develop_mode, AFullDiskIsReportedAndFails) {
    TempDir dir;
    MakeDir(dir.file("resources"));
    WriteFile(dir.file("resources/one.rawh"), HeaderLine(2, 1, 4, 4) + "\n");
    WriteFile(dir.file("resources/one.raw"), "abcd");
    ASSERT_EQ(symlink("/dev/full", dir.file("zebmap.map").c_str()), 0);

    const RunResult run = RunPardulo(dir, {"d"});
    EXPECT_EQ(run.status, 1);
    const std::string tail = " 4 bytes written\n* ERROR * writing 'zebmap.map'\n** Reading for check....\n";
    ASSERT_GE(run.out.size(), tail.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    EXPECT_EQ(ReadFile(dir.file("zebmap.c")), SnippetBlock("one", 2, 1, 4, 1));
}

TEST(develop_mode, NeverWaitsOnAMapThatIsAPipe) {
    TempDir dir;
    MakeDir(dir.file("resources"));
    ASSERT_EQ(mkfifo(dir.file("zebmap.map").c_str(), 0600), 0);
    const RunResult run = RunPardulo(dir, {"d"});
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "* ERROR * Couldn't create the file zebmap.map\n** Reading for check....\n");
}

}  // namespace

// The map builder and the map checker, run in a fresh working directory.
#include "resource_map.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "map_bytes.h"
#include "test_support.h"

namespace {

using testing_support::Be16;
using testing_support::Be32;
using testing_support::FileExists;
using testing_support::HeaderLine;
using testing_support::MakeDir;
using testing_support::MapRecord;
using testing_support::Printed;
using testing_support::ReadFile;
using testing_support::ScopedChdir;
using testing_support::TempDir;
using testing_support::WriteFile;

struct Outcome {
    int32_t result;
    std::string out;
    BuildStats stats{};  // of a build
};

Outcome Capture(const std::function<int32_t()> &operation) {
    int32_t result = 0;
    const std::string out = Printed([&] { result = operation(); });
    return {result, out};
}

Outcome Build() {
    BuildStats stats;
    Outcome outcome = Capture([&] { return BuildResourceZebmapFile(&stats); });
    outcome.stats = stats;
    return outcome;
}
Outcome Check() { return Capture(ReadResourceZebmapFile); }

void AddResource(const std::string &base, int width, int height, const std::string &data) {
    WriteFile("resources/" + base + ".rawh", HeaderLine(width, height, width * 2, static_cast<long>(data.size())) +
                                                 "\nconst unsigned char data[] = { 0 };\n");
    WriteFile("resources/" + base + ".raw", data);
}

// The entries of resources/ in the order the builder meets them in.
std::vector<std::pair<std::string, int>> Listing() { return testing_support::ListingInNameOrder("resources"); }

std::string FileLine(const std::string &name, int reclen) {
    return "File: '" + name + "' [reclen=" + std::to_string(reclen) + "]\n";
}

// Each test runs in a fresh working directory; the suites are named after
// the module so that `ctest -R resource_map` picks them.
class InFreshDirectory : public testing::Test {
protected:
    TempDir dir_;
    ScopedChdir chdir_{dir_.path()};
};
using resource_map_checker = InFreshDirectory;
using resource_map_builder = InFreshDirectory;

// ---------------------------------------------------------------------------
// The checker

TEST_F(resource_map_checker, ReportsEveryGoodRecordCountingDataRatherThanSearchingForTerminators) {
    WriteFile("zebmap.map", "\r" + MapRecord(1, std::string("\n\r\0", 3)) + MapRecord(2, "") + MapRecord(7, "\r\r\r\r"));
    const Outcome run = Check();
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out,
              "first line=''\n"
              "Reading from block 1  -> size 3\nOK...\n"
              "Reading from block 2  -> size 0\nOK...\n"
              "Reading from block 7  -> size 4\nOK...\n");
}

TEST_F(resource_map_checker, ShowsFirst500CharactersOfALongFirstLine) {
    WriteFile("zebmap.map", std::string(500, 'a') + std::string(100, 'b') + "\r" + MapRecord(65535, "xy"));
    const Outcome run = Check();
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "first line='" + std::string(500, 'a') + "'\nReading from block 65535  -> size 2\nOK...\n");
}

TEST_F(resource_map_checker, StopsAtAWrongTerminator) {
    std::string bad = MapRecord(2, "abc");
    bad.back() = '\x07';
    WriteFile("zebmap.map", "\r" + MapRecord(1, "z") + bad + MapRecord(3, "q"));
    const Outcome run = Check();
    EXPECT_EQ(run.result, -3);
    EXPECT_EQ(run.out,
              "first line=''\nReading from block 1  -> size 1\nOK...\n"
              "Reading from block 2  -> size 3\n"
              "* ERROR: no terminator found on pos 3: expected [13] but found [7] \n");
}

TEST_F(resource_map_checker, CountsTheDataPresentWhenTheFileEndsInsideARecord) {
    // Large enough to span several read blocks.
    WriteFile("zebmap.map", "\r" + Be16(4) + Be32(300000) + std::string(150001, '\r'));
    Outcome run = Check();
    EXPECT_EQ(run.result, -3);
    EXPECT_EQ(run.out,
              "first line=''\nReading from block 4  -> size 300000\n"
              "ERR: Unattended end of file after read 150001 bytes [of 300000]\n");

    // All the data there, only the terminator missing: not an error.
    WriteFile("zebmap.map", "\r" + Be16(4) + Be32(3) + "abc");
    run = Check();
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.out, "first line=''\nReading from block 4  -> size 3\n");
}

TEST_F(resource_map_checker, ReportsAFileCutInsideARecordHeader) {
    const std::string whole = "\r" + MapRecord(1, "ab") + MapRecord(258, "c");
    for (size_t cut = 1; cut <= 5; ++cut) {
        SCOPED_TRACE(cut);
        WriteFile("zebmap.map", whole.substr(0, 1 + 9 + cut));
        const Outcome run = Check();
        EXPECT_EQ(run.result, -3);
        EXPECT_EQ(run.out,
                  "first line=''\nReading from block 1  -> size 2\nOK...\n"
                  "ERR: Unattended end of file inside a record header\n");
    }
}

TEST_F(resource_map_checker, RefusesANegativeSize) {
    WriteFile("zebmap.map", "\r" + Be16(3) + Be32(0xFFFFFFFF) + std::string("\r", 1) + MapRecord(4, "a"));
    const Outcome run = Check();
    EXPECT_EQ(run.result, -3);
    EXPECT_EQ(run.out, "first line=''\nReading from block 3  -> size -1\n* ERROR: invalid size -1 on block 3\n");
}

TEST_F(resource_map_checker, ReportsAMapWithoutFirstLine) {
    for (const std::string content : {"", "no carriage return at all"}) {
        WriteFile("zebmap.map", content);
        const Outcome run = Check();
        EXPECT_EQ(run.result, -3);
        EXPECT_EQ(run.out, "ERR: Unattended end of file in the first line\n");
    }
}

TEST_F(resource_map_checker, TreatsAMissingOrNonRegularMapAsUnopenableWithoutWaiting) {
    EXPECT_EQ(Check().result, -2);
    EXPECT_EQ(Check().out, "");

    MakeDir("zebmap.map");
    EXPECT_EQ(Check().result, -2);
    rmdir("zebmap.map");

    ASSERT_EQ(mkfifo("zebmap.map", 0600), 0);  // no writer: a blocking open would wait forever
    EXPECT_EQ(Check().result, -2);
    unlink("zebmap.map");

    ASSERT_EQ(symlink("/dev/zero", "zebmap.map"), 0);  // would never end
    const Outcome run = Check();
    EXPECT_EQ(run.result, -2);
    EXPECT_EQ(run.out, "");
}

// ---------------------------------------------------------------------------
// The builder

TEST_F(resource_map_builder, WithAnEmptyDirectoryWritesTheEmptyFirstLineOnly) {
    MakeDir("resources");
    const Outcome run = Build();
    EXPECT_EQ(run.result, 0);
    std::string expected;
    for (const auto &[name, reclen] : Listing()) expected += FileLine(name, reclen);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(ReadFile("zebmap.map"), "\r");
    EXPECT_TRUE(FileExists("zebmap.c"));
    EXPECT_EQ(ReadFile("zebmap.c"), "");
}

TEST_F(resource_map_builder, PacksOneResourceIntoMapAndSnippet) {
    MakeDir("resources");
    std::string data;
    for (int i = 0; i < 256; ++i) data += static_cast<char>(i);  // 0, 10, 13, 26 among them
    WriteFile("resources/logo.rawh", HeaderLine(100, 50, 200, 256) + "\n");
    WriteFile("resources/logo.raw", data + "ignored tail");

    const Outcome run = Build();
    EXPECT_EQ(run.result, 0);
    std::string expected;
    for (const auto &[name, reclen] : Listing()) {
        expected += FileLine(name, reclen);
        if (name == "logo.rawh")
            expected +=
                "Opening file 'resources/logo.rawh' ...\nwidth=100, height=50, stride=200, size=256\n"
                "Opening file 'resources/logo.raw' ...\n 256 bytes written\n";
    }
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(ReadFile("zebmap.map"), "\r" + MapRecord(1, data));
    EXPECT_EQ(ReadFile("zebmap.c"),
              "\n"
              "Bitmap_header_t logo_header[] = \n"
              "{\n"
              " // format,width,height,stride,arrayoffset \n"
              " { ARGB4, 100, 50, 200, 0 }\n"
              "};\n"
              " /* Add a line like the one below (replacing IMG_x) to ImgResource[] array: \n"
              " { IMG_x, logo_header,  NULL, 0,  1, 1}, // from flash block 1 \n"
              " */ \n"
              "\n");
}

TEST_F(resource_map_builder, ReadsTheFourNumbersOfTheFirstLineOnly) {
    struct Case {
        std::string header;
        std::string values;  // "" for a malformed header
    };
    const std::string standard = HeaderLine(100, 50, 200, 3);
    const std::vector<Case> cases = {
        {standard + "\r\nsecond line, 1, 2, 3\n", "width=100, height=50, stride=200, size=3"},
        {standard, "width=100, height=50, stride=200, size=3"},  // no line feed at all
        {"a,b, +7 px,,,c,-4,d,e,f,\t12,g,3 and more", "width=7, height=-4, stride=12, size=3"},
        {"a,b,2147483647,c,-2147483648,d,e,f,0,g,3", "width=2147483647, height=-2147483648, stride=0, size=3"},
        {"a,b,100,c,50,d,e,f,200,g", ""},                    // no size field
        {"a,b,100,c,fifty,d,e,f,200,g,3)*/", ""},            // not a number
        {"a,b,100,c,50,d,e,f,200,g,-3)*/", ""},              // negative size
        {"a,b,2147483648,c,50,d,e,f,200,g,3)*/", ""},        // outside 32 bits
        {"a,b,100,c,50,d,e,f,200,g,-)*/", ""},               // a sign alone
        {std::string(500, ' ') + standard, ""},             // the numbers lie beyond 500 characters
        {"", ""},                                            // empty file
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.header);
        MakeDir("resources");
        WriteFile("resources/img.rawh", c.header);
        WriteFile("resources/img.raw", "abc");
        const Outcome run = Build();
        if (c.values.empty()) {
            EXPECT_EQ(run.result, 2);
            EXPECT_NE(run.out.find("Opening file 'resources/img.rawh' ...\n"
                                   "* ERROR * malformed header file 'resources/img.rawh'\n"),
                      std::string::npos)
                << run.out;
            EXPECT_EQ(run.out.find("width="), std::string::npos);
            EXPECT_EQ(ReadFile("zebmap.map"), "\r");
            EXPECT_EQ(ReadFile("zebmap.c"), "");
        } else {
            EXPECT_EQ(run.result, 0);
            EXPECT_NE(run.out.find(c.values + "\n"), std::string::npos) << run.out;
            EXPECT_EQ(ReadFile("zebmap.map"), "\r" + MapRecord(1, "abc"));
        }
        std::filesystem::remove_all("resources");
    }
}

TEST_F(resource_map_builder, TakesNoValueFromAnEarlierHeader) {
    MakeDir("resources");
    AddResource("a", 4, 4, "12345678");
    WriteFile("resources/b.rawh", "a,b,5,c,6,d,e,f,7,g");  // size field missing
    WriteFile("resources/b.raw", "12345678");
    const Outcome run = Build();
    EXPECT_EQ(run.result, 2);
    EXPECT_NE(run.out.find("* ERROR * malformed header file 'resources/b.rawh'\n"), std::string::npos);
    EXPECT_EQ(ReadFile("zebmap.map").size(), 1u + 8 + 7);
}

TEST_F(resource_map_builder, StopsAtAShortDataFileLeavingThePartialRecordForTheChecker) {
    MakeDir("resources");
    std::string data(150001, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    WriteFile("resources/big.rawh", HeaderLine(500, 200, 1000, 200000));
    WriteFile("resources/big.raw", data);

    Outcome run = Build();
    EXPECT_EQ(run.result, -6);
    EXPECT_NE(run.out.find("Opening file 'resources/big.raw' ...\n* Unattended EOF after 150001 bytes\n"),
              std::string::npos);
    EXPECT_EQ(run.out.find("bytes written"), std::string::npos);
    EXPECT_EQ(ReadFile("zebmap.map"), "\r" + Be16(1) + Be32(200000) + data);

    run = Check();
    EXPECT_EQ(run.result, -3);
    EXPECT_EQ(run.out,
              "first line=''\nReading from block 1  -> size 200000\n"
              "ERR: Unattended end of file after read 150001 bytes [of 200000]\n");
}

TEST_F(resource_map_builder, NeverWaitsOnEntriesThatAreNotRegularFiles) {
    MakeDir("resources");
    ASSERT_EQ(mkfifo("resources/pipe.rawh", 0600), 0);
    WriteFile("resources/pipedata.rawh", HeaderLine(1, 1, 2, 2));
    ASSERT_EQ(mkfifo("resources/pipedata.raw", 0600), 0);
    WriteFile("resources/zero.rawh", HeaderLine(1, 1, 2, 2));
    ASSERT_EQ(symlink("/dev/zero", "resources/zero.raw"), 0);
    ASSERT_EQ(symlink("nowhere", "resources/dangling.rawh"), 0);

    const Outcome run = Build();
    EXPECT_EQ(run.result, 2);
    EXPECT_TRUE(run.stats.listing_read);
    EXPECT_EQ(run.stats.packed, 0);
    EXPECT_EQ(run.stats.skipped, 4);
    for (const char *line : {"* ERROR * failed opening header file 'resources/pipe.rawh'\n",
                             "* ERROR * failed opening binary file 'resources/pipedata.raw'\n",
                             "* ERROR * failed opening binary file 'resources/zero.raw'\n",
                             "* ERROR * failed opening header file 'resources/dangling.rawh'\n"}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(ReadFile("zebmap.map"), "\r");
}

TEST_F(resource_map_builder, SkipsNamesTooLongForAPath) {
    MakeDir("resources");
    const std::string longest = std::string(235, 'a') + ".rawh";  // resources/ + 240 = 250 characters
    const std::string too_long = std::string(236, 'b') + ".rawh";
    WriteFile("resources/" + longest, HeaderLine(1, 1, 2, 1));
    WriteFile("resources/" + longest.substr(0, 239), "L");
    WriteFile("resources/" + too_long, HeaderLine(1, 1, 2, 1));
    WriteFile("resources/" + too_long.substr(0, 240), "T");

    const Outcome run = Build();
    EXPECT_EQ(run.result, 2);
    EXPECT_EQ(run.stats.packed, 1);
    EXPECT_EQ(run.stats.skipped, 1);
    EXPECT_NE(run.out.find("Opening file 'resources/" + too_long + "' ...\n* ERROR * failed opening header file 'resources/" +
                           too_long + "'\n"),
              std::string::npos);
    int block = 1;
    for (const auto &[name, reclen] : Listing()) {
        if (name == longest) break;
        if (name == too_long) ++block;
    }
    EXPECT_EQ(ReadFile("zebmap.map"), "\r" + MapRecord(block, "L"));
    EXPECT_NE(ReadFile("zebmap.c").find(std::string(235, 'a') + "_header[]"), std::string::npos);
}

// Every pair of a list in the expected order, both ways round: mixed case,
// names equal when folded, punctuation between 'Z' and 'a', non-ASCII bytes.
TEST(resource_map_listing_order, DotsFirstThenNamesFoldedToUpperCaseThenTheirBytes) {
    const std::vector<std::string> ordered = {
        ".", "..", "!bang", "A", "a", "AB", "Ab", "aB", "ab", "abc", "B", "z", "[", "_x", "`", "{",
        "\x7f", "\xc3\xa9", "\xff"};
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        EXPECT_FALSE(ListingNameBefore(ordered[i].c_str(), ordered[i].c_str())) << ordered[i];
        for (std::size_t j = i + 1; j < ordered.size(); ++j) {
            EXPECT_TRUE(ListingNameBefore(ordered[i].c_str(), ordered[j].c_str())) << ordered[i] << " < " << ordered[j];
            EXPECT_FALSE(ListingNameBefore(ordered[j].c_str(), ordered[i].c_str())) << ordered[j] << " < " << ordered[i];
        }
    }
}

TEST_F(resource_map_builder, WithoutResourcesDirectoryTouchesNothing) {
    WriteFile("zebmap.map", "earlier map");
    WriteFile("zebmap.c", "earlier snippet");
    const Outcome run = Build();
    EXPECT_EQ(run.result, 1);
    EXPECT_FALSE(run.stats.listing_read);
    EXPECT_EQ(run.out, "* ERROR * Couldn't open the directory resources\n");
    EXPECT_EQ(ReadFile("zebmap.map"), "earlier map");
    EXPECT_EQ(ReadFile("zebmap.c"), "earlier snippet");
}

TEST_F(resource_map_builder, ReportsOutputsThatCannotBeCreatedOrWritten) {
    MakeDir("resources");
    AddResource("one", 1, 1, "ab");

    MakeDir("zebmap.map");
    WriteFile("zebmap.c", "earlier snippet");
    Outcome run = Build();
    EXPECT_EQ(run.result, -2);
    EXPECT_EQ(ReadFile("zebmap.c"), "earlier snippet");
    rmdir("zebmap.map");

    unlink("zebmap.c");
    MakeDir("zebmap.c");
    run = Build();
    EXPECT_EQ(run.result, -2);
    EXPECT_TRUE(FileExists("zebmap.map"));
    EXPECT_EQ(ReadFile("zebmap.map"), "");
    rmdir("zebmap.c");

    ASSERT_EQ(symlink("/dev/full", "zebmap.c"), 0);
    run = Build();
    EXPECT_EQ(run.result, -7);
    const std::string tail = " 2 bytes written\n* ERROR * writing 'zebmap.c'\n";
    ASSERT_GE(run.out.size(), tail.size());
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    EXPECT_EQ(ReadFile("zebmap.map"), "\r" + MapRecord(1, "ab"));
}

// ---------------------------------------------------------------------------
// Holes in the blocks

using resource_map_gaps = InFreshDirectory;

// One row per map: the blocks it lacks, as a message names them.
TEST_F(resource_map_gaps, NamesEveryBlockFromOneToTheHighestThatHasNoRecord) {
    std::string every_other = "\r";
    for (int block = 2; block <= 40; block += 2) every_other += MapRecord(block, "");
    const struct {
        std::string map;
        std::string missing;  // "" for none
    } rows[] = {
        {"\r", ""},
        {"\r" + MapRecord(1, "a") + MapRecord(2, "b") + MapRecord(3, ""), ""},
        {"\r" + MapRecord(3, "c") + MapRecord(1, "a") + MapRecord(2, "b"), ""},  // any order
        {"\r" + MapRecord(1, "a") + MapRecord(3, "c"), "block 2"},
        {"\r" + MapRecord(2, "b") + MapRecord(5, "e") + MapRecord(9, "i"), "blocks 1, 3-4, 6-8"},
        {"\r" + MapRecord(65535, "z"), "blocks 1-65534"},
        {every_other, "blocks 1, 3, 5, 7, 9, 11, 13, 15 and 12 more runs"},
        // A record cut short still counts: its block was written.
        {"\r" + MapRecord(1, "a") + MapRecord(4, "dddd", 9, false), "blocks 2-3"},
    };
    for (const auto &row : rows) {
        WriteFile("zebmap.map", row.map);
        const std::vector<BlockRun> missing = MissingMapBlocks("zebmap.map");
        EXPECT_EQ(missing.empty() ? "" : FormatBlockRuns(missing), row.missing) << row.missing;
    }
    EXPECT_TRUE(MissingMapBlocks("no-such.map").empty());
}

}  // namespace
